// The password dialogs: their layout, how they open and close around the
// main window, and that each OK hands the typed password to its flow.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include "app/shell/gadgets.h"
#include "crypto/fingerprint.h"
#include "crypto/trailer.h"
#include "tests/app/shell/shell_test_support.h"

namespace {

using shell::PasswordDialog;
using shell_testing::FlushDeletes;
using shell_testing::WindowTest;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Message = shell::DialogAnswers::Message;

struct DialogRow {
  int window;
  int height;
  int label, field, ok, unsafe, safe, meter;  // gadget numbers, 0 when absent
  int labelY, fieldY;                         // y of label and field/OK
};

// The four dialogs as designed: 250 wide, labels at x 5, fields at 65,
// OK at 200; meter dialogs carry "Unsicher", "Sicher" and the meter picture.
const DialogRow kDialogs[] = {
    {1, 80, 56, 55, 57, 58, 59, 64, 20, 18},
    {2, 35, 66, 65, 67, 0, 0, 0, 10, 8},
    {3, 80, 74, 73, 75, 76, 77, 80, 20, 18},
    {4, 35, 82, 81, 83, 0, 0, 0, 10, 8},
};

// The image button that opens each dialog, and the field it needs filled.
struct Opener {
  int button, field;
};
const Opener kOpeners[] = {{0, 0}, {11, 5}, {42, 45}, {34, 28}, {43, 50}};

class PasswordDialogs : public WindowTest {
 protected:
  // Opens dialog number by its image button, as the user would.
  PasswordDialog* Open(int number) {
    window().frontEnd().SetGadgetText(kOpeners[number].field, "/irgendwo/etwas");
    Click(kOpeners[number].button);
    return window().passwordDialog();
  }
};

TEST_F(PasswordDialogs, EachDialogMatchesItsTable) {
  for (const DialogRow& row : kDialogs) {
    SCOPED_TRACE("dialog " + std::to_string(row.window));
    PasswordDialog* dialog = Open(row.window);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->number(), row.window);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Passwort Eingabe:"));
    EXPECT_EQ(dialog->size(), QSize(250, row.height));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    EXPECT_FALSE(dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(dialog->isVisible());

    auto* label = qobject_cast<QLabel*>(window().Gadget(row.label));
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->geometry(), QRect(5, row.labelY, 60, 20));
    EXPECT_EQ(label->text(), QStringLiteral("Passwort:"));
    EXPECT_TRUE(label->alignment() & Qt::AlignLeft);

    auto* field = qobject_cast<QLineEdit*>(window().Gadget(row.field));
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->geometry(), QRect(65, row.fieldY, 130, 20));
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_EQ(field->echoMode(), QLineEdit::Normal);  // not masked, as designed
    EXPECT_FALSE(field->isReadOnly());

    auto* ok = qobject_cast<QPushButton*>(window().Gadget(row.ok));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->geometry(), QRect(200, row.fieldY, 40, 20));
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());

    if (row.meter != 0) {
      auto* unsafe = qobject_cast<QLabel*>(window().Gadget(row.unsafe));
      auto* safe = qobject_cast<QLabel*>(window().Gadget(row.safe));
      auto* meter = qobject_cast<QLabel*>(window().Gadget(row.meter));
      ASSERT_TRUE(unsafe && safe && meter);
      EXPECT_EQ(unsafe->geometry(), QRect(10, 50, 50, 15));
      EXPECT_EQ(unsafe->text(), QStringLiteral("Unsicher"));
      EXPECT_EQ(safe->geometry(), QRect(205, 50, 50, 15));
      EXPECT_EQ(safe->text(), QStringLiteral("Sicher"));
      EXPECT_EQ(meter->geometry(), QRect(10, 65, 230, 8));
      ASSERT_NE(dialog->meter(), nullptr);
      EXPECT_TRUE(dialog->meter()->running());
    } else {
      EXPECT_EQ(dialog->meter(), nullptr);
      EXPECT_EQ(dialog->findChildren<QLabel*>().size(), 1);
    }
    // The main window waits while the dialog is open.
    EXPECT_FALSE(window().isEnabled());

    window().CloseRequest(row.window);
    FlushDeletes();
  }
}

TEST_F(PasswordDialogs, CloseBoxClosesTheDialogStopsItsMeterAndFreesTheMainWindow) {
  for (int number = 1; number <= 4; ++number) {
    SCOPED_TRACE(number);
    QPointer<PasswordDialog> dialog = Open(number);
    ASSERT_NE(dialog, nullptr);
    QPointer<shell::StrengthMeter> meter = dialog->meter();
    dialog->close();  // the close box
    EXPECT_EQ(window().passwordDialog(), nullptr);
    EXPECT_TRUE(window().isEnabled());
    if (meter) {
      EXPECT_FALSE(meter->running());
    }
    FlushDeletes();
    EXPECT_TRUE(dialog.isNull());
    // Nothing was handed to a flow.
    EXPECT_TRUE(answers_.messages.empty());
    EXPECT_EQ(window().state().password.view(), "");
  }
}

TEST_F(PasswordDialogs, EnterConfirmsAndEscClosesEachDialog) {
  for (int number = 1; number <= 4; ++number) {
    SCOPED_TRACE(number);
    ASSERT_NE(Open(number), nullptr);
    const int field = window().passwordDialog()->fieldGadget();
    QTest::keyClick(window().Gadget(field), Qt::Key_Escape);
    EXPECT_EQ(window().passwordDialog(), nullptr);
    EXPECT_TRUE(window().isEnabled());
    FlushDeletes();

    // Keypad Enter as well as Return. Each flow finds nothing real chosen
    // and says so, once.
    answers_.messages.clear();
    answers_.dialogTitles.clear();
    ASSERT_NE(Open(number), nullptr);
    QTest::keyClicks(window().Gadget(field), QStringLiteral("abc"));
    QTest::keyClick(window().Gadget(field), number % 2 ? Qt::Key_Return : Qt::Key_Enter,
                    number % 2 ? Qt::NoModifier : Qt::KeypadModifier);
    window().WaitForFlow();
    EXPECT_EQ(window().passwordDialog(), nullptr);
    EXPECT_EQ(window().state().password.view(), "abc");
    EXPECT_EQ(answers_.messages.size() + answers_.dialogTitles.size(), 1u);
    FlushDeletes();
  }
}

TEST_F(PasswordDialogs, ReturnOnTheFocusedOkButtonConfirmsOnce) {
  ASSERT_NE(Open(2), nullptr);
  auto* ok = qobject_cast<QPushButton*>(window().Gadget(67));
  ASSERT_NE(ok, nullptr);
  ok->setFocus();
  QTest::keyClick(ok, Qt::Key_Return);
  window().WaitForFlow();
  EXPECT_EQ(answers_.messages, (std::vector<Message>{{"Fehler", "Falsches Passwort", 16}}));
}

TEST_F(PasswordDialogs, OkOfADialogThatIsNotOpenDoesNothing) {
  window().state().password = "vorher";
  ASSERT_NE(Open(2), nullptr);
  for (int ok : {57, 75, 83}) window().Dispatch(ok);
  EXPECT_NE(window().passwordDialog(), nullptr);
  EXPECT_EQ(window().state().password.view(), "vorher");
  EXPECT_TRUE(answers_.messages.empty());
}

class FailingDialogWindow : public shell::MainWindow {
 public:
  using shell::MainWindow::MainWindow;

 protected:
  PasswordDialog* CreatePasswordDialog(shell::PasswordDialogKind) override { return nullptr; }
};

TEST(PasswordDialogFailure, MainWindowIsEnabledAgainWhenADialogCannotBeBuilt) {
  testing_support::TempFolder dir;
  FailingDialogWindow window(platform::TempFolder(), dir.path() + "/");
  window.frontEnd().SetGadgetText(5, "/irgendwo/etwas");
  window.Dispatch(11);
  EXPECT_EQ(window.passwordDialog(), nullptr);
  EXPECT_TRUE(window.isEnabled());
}

// What the window looked like when the flow asked its first question.
struct Snapshot {
  bool taken = false;
  bool dialogGone = false;
  bool mainEnabled = false;
  bool meterStopped = false;
};

class OkHandlers : public PasswordDialogs {
 protected:
  // Records the window's state at the flow's first question.
  void WatchFirstQuestion(QPointer<shell::StrengthMeter> meter) {
    answers_.onQuestion = [this, meter] {
      if (snapshot_.taken) return;
      snapshot_.taken = true;
      snapshot_.dialogGone = window().passwordDialog() == nullptr;
      snapshot_.mainEnabled = window().isEnabled();
      snapshot_.meterStopped = meter.isNull() || !meter->running();
    };
  }

  void ExpectHandedOver() {
    EXPECT_TRUE(snapshot_.taken);
    EXPECT_TRUE(snapshot_.dialogGone);
    EXPECT_TRUE(snapshot_.mainEnabled);
    EXPECT_TRUE(snapshot_.meterStopped);
  }

  // Encrypts file with RC4 through gadgets 6, 16, 11, dialog 1 and OK.
  void EncryptWithRc4(const std::string& file, const QString& password) {
    answers_.fileOpen = {file};
    Click(6);
    Click(16);
    PasswordDialog* dialog = window().passwordDialog();
    ASSERT_EQ(dialog, nullptr);
    Click(11);
    dialog = window().passwordDialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(dialog->number(), 1);
    WatchFirstQuestion(dialog->meter());
    TypePassword(password);
    PressOk();
  }

  Snapshot snapshot_;
};

const Message kEncrypted{"Verschlüsselung", "Verschlüsselung erfolgreich beendet", 64};
const Message kDecrypted{"Verschlüsselung", "Entschlüsselung erfolgreich beendet", 64};
const Message kWrongPassword{"Fehler", "Falsches Passwort", 16};

TEST_F(OkHandlers, DialogOneEncryptsTheChosenFileWithTheTypedPassword) {
  const std::string file = dir_ / "brief.txt";
  const auto data = testing_support::RandomBytes(3000);
  WriteFile(file, data);
  // "ä" travels as the single byte 0xE4.
  EncryptWithRc4(file, QStringLiteral("geheim ä"));
  ExpectHandedOver();
  EXPECT_EQ(window().state().password.view(), "geheim \xE4");
  EXPECT_EQ(LastMessage(), kEncrypted);

  const crypto::Trailer trailer = crypto::ReadTrailer(dir_ / "brief.rc4");
  EXPECT_EQ(trailer.markerLine, "rc4no");
  EXPECT_EQ(trailer.fingerprintLine, crypto::Fingerprint_Hex(std::string_view("geheim \xE4")));
  EXPECT_EQ(ReadFile(file), data);  // the original stays
}

TEST_F(OkHandlers, DialogTwoDecryptsWithTheTypedPasswordAndRefusesAnother) {
  const std::string file = dir_ / "brief.txt";
  const auto data = testing_support::RandomBytes(5000, 7);
  WriteFile(file, data);
  EncryptWithRc4(file, QStringLiteral("Passwort"));
  ASSERT_EQ(LastMessage(), kEncrypted);
  const std::string container = dir_ / "brief.rc4";

  answers_.fileOpen = {container};
  Click(46);
  EXPECT_EQ(Gadget<QLineEdit>(45)->text().toStdString(), container);
  EXPECT_EQ(window().frontEnd().GadgetText(48), "RC4-Verschlüsselung\r\nNicht Gepackt");

  Click(42);
  ASSERT_NE(window().passwordDialog(), nullptr);
  snapshot_ = {};
  WatchFirstQuestion(nullptr);
  TypePassword(QStringLiteral("passwort"));
  PressOk();
  ExpectHandedOver();
  EXPECT_EQ(LastMessage(), kWrongPassword);

  Click(42);
  TypePassword(QStringLiteral("Passwort"));
  const std::string restored = dir_ / "zurück.txt";
  answers_.fileSave = {restored};
  PressOk();
  EXPECT_EQ(LastMessage(), kDecrypted);
  EXPECT_EQ(ReadFile(restored), data);
}

TEST_F(OkHandlers, DialogThreeHandsThePasswordToTheFolderEncryption) {
  const std::string folder = dir_ / "Fotos";
  ASSERT_TRUE(platform::MakeFolders(folder));
  WriteFile(folder + "/a.txt", "Inhalt");
  answers_.folder = {folder + "/", dir_.path() + "/"};  // source, then output folder
  Click(29);
  Click(39);  // RC4
  Click(34);
  PasswordDialog* dialog = window().passwordDialog();
  ASSERT_NE(dialog, nullptr);
  ASSERT_EQ(dialog->number(), 3);
  WatchFirstQuestion(dialog->meter());
  TypePassword(QStringLiteral("Ordner"));
  PressOk();
  ExpectHandedOver();
  EXPECT_EQ(window().state().password.view(), "Ordner");
  ASSERT_FALSE(answers_.messages.empty());
  // Once folder archives land, the container carries the password's
  // fingerprint; until then the flow reports its failure.
  if (LastMessage() == kEncrypted) {
    const crypto::Trailer trailer = crypto::ReadTrailer(dir_ / "Fotos.rc4");
    EXPECT_EQ(trailer.fingerprintLine, crypto::Fingerprint_Hex(std::string_view("Ordner")));
  }
}

TEST_F(OkHandlers, DialogFourHandsThePasswordToTheFolderDecryption) {
  // A folder container needs only its trailer for the password check.
  const std::string container = dir_ / "Projekt.rc4";
  WriteFile(container, testing_support::RandomBytes(100));
  ASSERT_TRUE(crypto::AppendTrailer(container, "rc4foldno", "richtig"));
  answers_.fileOpen = {container};
  Click(51);
  EXPECT_EQ(Gadget<QLineEdit>(50)->text().toStdString(), container);

  Click(43);
  ASSERT_NE(window().passwordDialog(), nullptr);
  WatchFirstQuestion(nullptr);
  TypePassword(QStringLiteral("falsch"));
  PressOk();
  ExpectHandedOver();
  EXPECT_EQ(LastMessage(), kWrongPassword);

  answers_.messages.clear();
  Click(43);
  TypePassword(QStringLiteral("richtig"));
  PressOk();  // the output folder dialog is cancelled by the empty script
  EXPECT_EQ(window().state().password.view(), "richtig");
  for (const Message& message : answers_.messages) EXPECT_NE(message, kWrongPassword);
}

TEST_F(OkHandlers, EmptyPasswordIsHandedOverAsItIs) {
  const std::string file = dir_ / "leer.txt";
  WriteFile(file, "x");
  window().state().password = "alt";
  EncryptWithRc4(file, QString());
  EXPECT_EQ(window().state().password.view(), "");
  EXPECT_EQ(LastMessage(), kEncrypted);
  EXPECT_EQ(crypto::ReadTrailer(dir_ / "leer.rc4").fingerprintLine,
            crypto::Fingerprint_Hex(std::string_view("")));
}

}  // namespace
