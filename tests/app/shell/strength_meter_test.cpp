// The strength meter: bar widths, the redraw limit, the painted picture,
// and the worker as the user meets it in dialog 1.
#include <gtest/gtest.h>

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QTest>

#include "app/shell/images.h"
#include "app/shell/strength_meter.h"
#include "tests/app/shell/shell_test_support.h"

namespace {

using shell::MeterBarWidth;
using shell::MeterRedraws;
using shell_testing::WaitUntil;
using shell_testing::WindowTest;

const QRgb kBar = qRgb(255, 128, 64);
const QRgb kWhite = qRgb(255, 255, 255);

// The bar's width as painted in picture: orange pixels from x 2 on, row 3.
int PaintedWidth(const QImage& picture) {
  int width = 0;
  while (2 + width < picture.width() && picture.pixel(2 + width, 3) == kBar) ++width;
  return width;
}

TEST(MeterArithmetic, BarWidthsGrowByCharacterAndRoundTiesToEven) {
  // 56.5 and 169.5 round down and up to the even pixel.
  const int expected[] = {0, 28, 56, 85, 113, 141, 170, 198, 226};
  for (int characters = 0; characters <= 8; ++characters) {
    EXPECT_EQ(MeterBarWidth(characters), expected[characters]) << characters;
    EXPECT_TRUE(MeterRedraws(characters)) << characters;
  }
}

TEST(MeterArithmetic, NineAndMoreCharactersAreNotRedrawn) {
  for (int characters : {9, 10, 12, 100}) EXPECT_FALSE(MeterRedraws(characters)) << characters;
}

TEST(MeterArithmetic, CharactersOutsideTheBasicPlaneCountOnce) {
  EXPECT_EQ(shell::PasswordCharacters(QStringLiteral("äß€")), 3);
  EXPECT_EQ(shell::PasswordCharacters(QString::fromUtf8("a\xF0\x9F\x94\x91"
                                                        "b")),
            3);
  EXPECT_EQ(shell::PasswordCharacters(QString()), 0);
}

TEST(MeterPicture, BackgroundIsAWhiteFieldInAGreyFrame) {
  const QImage background = shell::MeterBackground();
  ASSERT_FALSE(background.isNull());
  EXPECT_EQ(background.size(), QSize(230, 8));
  QFile file(QStringLiteral(":/shell/meter.bmp"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  ASSERT_GT(bytes.size(), 30);
  EXPECT_EQ(bytes.left(2), QByteArray("BM"));
  EXPECT_EQ(static_cast<int>(bytes[28]), 24);  // bits per pixel
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 230; ++x) {
      const bool field = x >= 2 && x <= 227 && y >= 1 && y <= 6;
      const QColor colour = background.pixelColor(x, y);
      if (field) {
        EXPECT_EQ(background.pixel(x, y), kWhite) << x << "," << y;
      } else {
        EXPECT_NE(background.pixel(x, y), kWhite) << x << "," << y;
        EXPECT_EQ(colour.red(), colour.green()) << x << "," << y;  // a grey
        EXPECT_EQ(colour.green(), colour.blue()) << x << "," << y;
      }
    }
  }
}

TEST(MeterPicture, BarIsPaintedOnTheCleanBackground) {
  const QImage background = shell::MeterBackground();
  for (int characters = 0; characters <= 8; ++characters) {
    SCOPED_TRACE(characters);
    const QImage picture = shell::PaintMeter(background, characters);
    const int width = MeterBarWidth(characters);
    for (int y = 0; y < 8; ++y) {
      for (int x = 0; x < 230; ++x) {
        const bool bar = x >= 2 && x < 2 + width && y >= 2 && y <= 5;
        const QRgb want = bar ? kBar : background.pixel(x, y);
        ASSERT_EQ(picture.pixel(x, y), want) << x << "," << y;
      }
    }
  }
  // Eight characters fill the white field's width exactly.
  EXPECT_EQ(PaintedWidth(shell::PaintMeter(background, 8)), 226);
}

class MeterInDialog : public WindowTest {
 protected:
  void SetUp() override {
    window().show();
    window().frontEnd().SetGadgetText(5, "/irgendwo/brief.txt");
    Click(11);
    dialog_ = window().passwordDialog();
    ASSERT_NE(dialog_, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_));
    field_ = qobject_cast<QLineEdit*>(window().Gadget(55));
    picture_ = qobject_cast<QLabel*>(window().Gadget(64));
    ASSERT_TRUE(field_ && picture_);
  }

  int ShownWidth() const { return PaintedWidth(picture_->pixmap().toImage()); }

  bool Shows(int width) {
    return WaitUntil([&] { return ShownWidth() == width; }, 3000);
  }

  // Gives the worker time for many cycles.
  static void LetItRun() { QTest::qWait(60); }

  shell::PasswordDialog* dialog_ = nullptr;
  QLineEdit* field_ = nullptr;
  QLabel* picture_ = nullptr;
};

TEST_F(MeterInDialog, BarFollowsEachTypedCharacterUpToEight) {
  EXPECT_TRUE(Shows(0));
  const int expected[] = {28, 56, 85, 113, 141, 170, 198, 226};
  for (int width : expected) {
    QTest::keyClick(field_, Qt::Key_X);
    EXPECT_TRUE(Shows(width)) << "shown " << ShownWidth() << " wanted " << width;
  }
  // A ninth character leaves the full bar.
  QTest::keyClick(field_, Qt::Key_X);
  LetItRun();
  EXPECT_EQ(ShownWidth(), 226);
  // Deleting everything shows the background alone.
  field_->clear();
  EXPECT_TRUE(Shows(0));
  EXPECT_EQ(picture_->pixmap().toImage().convertToFormat(QImage::Format_RGB32),
            shell::MeterBackground().convertToFormat(QImage::Format_RGB32));
}

TEST_F(MeterInDialog, PastedLongPasswordKeepsTheOldBarUntilShortenedToEight) {
  EXPECT_TRUE(Shows(0));
  field_->setText(QStringLiteral("zwölf Zeiche"));  // 12 characters
  LetItRun();
  EXPECT_EQ(ShownWidth(), 0);
  for (int i = 0; i < 4; ++i) QTest::keyClick(field_, Qt::Key_Backspace);
  EXPECT_TRUE(Shows(226));
}

TEST_F(MeterInDialog, BarStaysWhileAnotherWindowIsInFront) {
  QTest::keyClicks(field_, QStringLiteral("ab"));
  EXPECT_TRUE(Shows(56));
  QWidget other;
  other.resize(100, 100);
  other.show();
  other.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
  ASSERT_TRUE(WaitUntil([&] { return !dialog_->isActiveWindow(); }));
  field_->setText(QStringLiteral("abcde"));
  LetItRun();
  EXPECT_EQ(ShownWidth(), 56);
  // Back in front, the meter catches up.
  dialog_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_));
  EXPECT_TRUE(Shows(141));
}

TEST_F(MeterInDialog, OkStopsTheWorkerBeforeTheFlowRuns) {
  QPointer<shell::StrengthMeter> meter = dialog_->meter();
  ASSERT_TRUE(meter->running());
  bool stoppedWhenAsked = false;
  // Gone with its dialog or merely stopped: either way it paints no more.
  answers_.onQuestion = [&] { stoppedWhenAsked = meter.isNull() || !meter->running(); };
  QTest::keyClicks(field_, QStringLiteral("abc"));
  PressOk();  // the flow finds no file and says so
  EXPECT_FALSE(answers_.messages.empty());
  EXPECT_TRUE(stoppedWhenAsked);
}

}  // namespace
