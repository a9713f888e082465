// The main window: its gadgets against their designed places, the answers of the
// image buttons on empty fields, the choice handlers, and the real Qt
// dialogs behind the front end.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <optional>
#include <vector>

#include "app/shell/gadgets.h"
#include "app/shell/start_up.h"
#include "tests/app/shell/shell_test_support.h"

namespace {

using shell::DialogAnswers;
using shell_testing::WaitUntil;
using shell_testing::WindowTest;
using Message = shell::DialogAnswers::Message;

enum class Kind { kFrame, kField, kArea, kButton, kImage, kOption, kCheck, kStatic };
enum class State { kNone, kOn, kOff };

struct Expected {
  int number;
  int tab;
  Kind kind;
  QRect rect;
  const char* text;
  State state = State::kNone;
  bool hidden = false;
};

// Where each gadget of the main window belongs, typed in independently of
// the code.
const std::vector<Expected> kTable = {
    {1, 0, Kind::kFrame, {5, 10, 475, 135}, "Datei Schützen"},
    {5, 0, Kind::kField, {10, 30, 360, 20}, ""},
    {6, 0, Kind::kButton, {375, 28, 95, 25}, "Datei Wählen"},
    {2, 0, Kind::kFrame, {10, 60, 115, 50}, "Verschlüsselung "},
    {3, 0, Kind::kFrame, {135, 60, 115, 50}, "Packen"},
    {8, 0, Kind::kOption, {140, 75, 80, 15}, "ja", State::kOff},
    {10, 0, Kind::kOption, {140, 90, 75, 15}, "nein", State::kOn},
    {11, 0, Kind::kImage, {375, 65, 95, 60}, ""},
    {14, 0, Kind::kOption, {15, 75, 90, 15}, "AES", State::kOn},
    {16, 0, Kind::kOption, {15, 90, 86, 15}, "RC4", State::kOff},
    {23, 0, Kind::kFrame, {5, 155, 475, 135}, "Ordner Schützen"},
    {15, 0, Kind::kCheck, {260, 65, 110, 15}, "Orginal Ersetzen", State::kOff},
    {28, 0, Kind::kField, {10, 175, 360, 20}, ""},
    {29, 0, Kind::kButton, {375, 173, 95, 25}, "Ordner Wählen"},
    {34, 0, Kind::kImage, {375, 210, 95, 60}, ""},
    {26, 0, Kind::kFrame, {135, 205, 115, 50}, "Packen"},
    {31, 0, Kind::kOption, {145, 220, 80, 15}, "ja", State::kOff},
    {33, 0, Kind::kOption, {145, 235, 90, 15}, "nein", State::kOn},
    {25, 0, Kind::kFrame, {10, 205, 115, 50}, "Verschlüsselung "},
    {37, 0, Kind::kOption, {15, 220, 90, 15}, "AES", State::kOn},
    {39, 0, Kind::kOption, {15, 235, 86, 15}, "RC4", State::kOff},
    {38, 0, Kind::kCheck, {260, 210, 110, 15}, "Orginal Ersetzen", State::kOff, true},
    {44, 1, Kind::kFrame, {5, 10, 475, 135}, "Datei Entschlüsseln"},
    {45, 1, Kind::kField, {10, 30, 360, 20}, ""},
    {46, 1, Kind::kButton, {375, 28, 95, 25}, "Datei Wählen"},
    {48, 1, Kind::kArea, {20, 70, 340, 50}, ""},
    {42, 1, Kind::kImage, {375, 65, 95, 60}, ""},
    {49, 1, Kind::kFrame, {5, 155, 475, 135}, "Ordner Entschlüsseln"},
    {50, 1, Kind::kField, {10, 175, 360, 20}, ""},
    {51, 1, Kind::kButton, {375, 173, 95, 25}, "Ordner Wählen"},
    {53, 1, Kind::kArea, {20, 215, 340, 50}, ""},
    {43, 1, Kind::kImage, {375, 210, 95, 60}, ""},
};

// The kind a widget shows itself as, or nullopt for none of the table's.
std::optional<Kind> KindOf(QWidget* w) {
  if (qobject_cast<QGroupBox*>(w)) return Kind::kFrame;
  if (auto* line = qobject_cast<QLineEdit*>(w)) {
    return line->isReadOnly() ? std::optional(Kind::kField) : std::nullopt;
  }
  if (auto* area = qobject_cast<QPlainTextEdit*>(w)) {
    return area->isReadOnly() ? std::optional(Kind::kArea) : std::nullopt;
  }
  if (qobject_cast<shell::ImageButton*>(w)) return Kind::kImage;
  if (qobject_cast<QRadioButton*>(w)) return Kind::kOption;
  if (qobject_cast<QCheckBox*>(w)) return Kind::kCheck;
  if (qobject_cast<QPushButton*>(w)) return Kind::kButton;
  if (qobject_cast<QLabel*>(w)) return Kind::kStatic;
  return std::nullopt;
}

QString TextShown(QWidget* w) {
  if (auto* frame = qobject_cast<QGroupBox*>(w)) return frame->title();
  if (auto* button = qobject_cast<QAbstractButton*>(w)) return button->text();
  return QString::fromStdString(shell::TextOf(w));
}

void ExpectArialBold8(const QFont& font) {
  EXPECT_EQ(font.family(), QStringLiteral("Arial"));
  EXPECT_EQ(font.pointSize(), 8);
  EXPECT_TRUE(font.bold());
}

class MainWindow : public WindowTest {
 protected:
  QTabWidget* Tabs() { return window().findChild<QTabWidget*>(QStringLiteral("tab-panel")); }
};

TEST_F(MainWindow, IsAFixedWindowWithItsTitleAndClientSize) {
  EXPECT_EQ(window().windowTitle(), QStringLiteral("Tresolin 0.1"));
  EXPECT_EQ(window().size(), QSize(490, 355));
  EXPECT_EQ(window().minimumSize(), QSize(490, 355));
  EXPECT_EQ(window().maximumSize(), QSize(490, 355));
  const Qt::WindowFlags flags = window().windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  ExpectArialBold8(window().font());
}

TEST_F(MainWindow, TabPanelHoldsThreeTabsAboveTheStatusBar) {
  QTabWidget* tabs = Tabs();
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(tabs->geometry(), QRect(0, 0, 490, 335));
  ASSERT_EQ(tabs->count(), 3);
  EXPECT_EQ(tabs->tabText(0), QStringLiteral("Verschlüsseln"));
  EXPECT_EQ(tabs->tabText(1), QStringLiteral("Entschlüsseln"));
  EXPECT_EQ(tabs->tabText(2), QStringLiteral("Info"));
  EXPECT_EQ(tabs->currentIndex(), 0);

  auto* statusBar = window().findChild<QStatusBar*>();
  ASSERT_NE(statusBar, nullptr);
  EXPECT_EQ(statusBar->geometry(), QRect(0, 335, 490, 20));
  auto* credit = statusBar->findChild<QLabel*>(QStringLiteral("credit"));
  ASSERT_NE(credit, nullptr);
  EXPECT_TRUE(credit->alignment() & Qt::AlignRight);
  EXPECT_TRUE(credit->text().contains(QStringLiteral("2026")));
}

TEST_F(MainWindow, EveryGadgetMatchesTheLayoutTable) {
  QTabWidget* tabs = Tabs();
  ASSERT_NE(tabs, nullptr);
  for (const Expected& row : kTable) {
    SCOPED_TRACE("gadget " + std::to_string(row.number));
    QWidget* gadget = Gadget(row.number);
    ASSERT_NE(gadget, nullptr);
    EXPECT_EQ(gadget->parentWidget(), tabs->widget(row.tab));
    EXPECT_EQ(gadget->geometry(), row.rect);
    EXPECT_EQ(KindOf(gadget), row.kind);
    EXPECT_EQ(TextShown(gadget), QString::fromUtf8(row.text));
    if (row.state != State::kNone) {
      EXPECT_EQ(qobject_cast<QAbstractButton*>(gadget)->isChecked(), row.state == State::kOn);
    }
    EXPECT_EQ(gadget->isHidden(), row.hidden);
    ExpectArialBold8(gadget->font());
  }
}

TEST_F(MainWindow, InfoTabShowsTheFreewareLineAndACreditCentred) {
  auto* info = Gadget<QLabel>(54);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->parentWidget(), Tabs()->widget(2));
  EXPECT_EQ(info->geometry(), QRect(145, 143, 200, 40));
  EXPECT_TRUE(info->alignment() & Qt::AlignHCenter);
  const QStringList lines = info->text().split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 2);
  EXPECT_EQ(lines[0], QStringLiteral("Dieses Program ist Freeware"));
  EXPECT_FALSE(lines[1].isEmpty());
}

TEST_F(MainWindow, ImageButtonsShowTheirComposedPictures) {
  for (int number : {11, 34, 42, 43}) {
    auto* button = Gadget<shell::ImageButton>(number);
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->picture().size(), QSize(95, 60));
  }
  // Both encrypt buttons share one picture, both decrypt buttons another.
  const QImage encrypt = Gadget<shell::ImageButton>(11)->picture().toImage();
  const QImage decrypt = Gadget<shell::ImageButton>(42)->picture().toImage();
  EXPECT_EQ(encrypt, Gadget<shell::ImageButton>(34)->picture().toImage());
  EXPECT_EQ(decrypt, Gadget<shell::ImageButton>(43)->picture().toImage());
  EXPECT_NE(encrypt, decrypt);
}

TEST_F(MainWindow, OptionGroupsSwitchIndependentlyAndDispatchNothing) {
  Click(8);   // A: ja
  Click(16);  // B: RC4
  EXPECT_TRUE(Gadget<QRadioButton>(8)->isChecked());
  EXPECT_FALSE(Gadget<QRadioButton>(10)->isChecked());
  EXPECT_FALSE(Gadget<QRadioButton>(14)->isChecked());
  EXPECT_TRUE(Gadget<QRadioButton>(16)->isChecked());
  // The folder frame's groups keep their own states.
  EXPECT_FALSE(Gadget<QRadioButton>(31)->isChecked());
  EXPECT_TRUE(Gadget<QRadioButton>(33)->isChecked());
  EXPECT_TRUE(Gadget<QRadioButton>(37)->isChecked());
  EXPECT_FALSE(Gadget<QRadioButton>(39)->isChecked());

  Click(39);  // D: RC4
  EXPECT_TRUE(Gadget<QRadioButton>(39)->isChecked());
  EXPECT_TRUE(Gadget<QRadioButton>(16)->isChecked());
  EXPECT_TRUE(Gadget<QRadioButton>(8)->isChecked());

  Click(15);
  EXPECT_TRUE(window().frontEnd().IsChecked(15));
  EXPECT_TRUE(answers_.messages.empty());
  EXPECT_TRUE(answers_.dialogTitles.empty());
  EXPECT_EQ(window().passwordDialog(), nullptr);
}

TEST_F(MainWindow, ImageButtonsAnswerAnEmptyFieldWithoutOpeningADialog) {
  struct Case {
    int button;
    const char* text;
  };
  // The decryption panel's folder answer has two blanks.
  const Case cases[] = {{11, "Es wurde keine Datei ausgewählt"},
                        {34, "Es wurde kein Ordner ausgewählt"},
                        {42, "Es wurde keine Datei ausgewählt"},
                        {43, "Es wurde kein  Ordner ausgewählt"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    answers_.messages.clear();
    Click(c.button);
    EXPECT_EQ(answers_.messages, (std::vector<Message>{{"Fehler", c.text, 64}}));
    EXPECT_EQ(window().passwordDialog(), nullptr);
    EXPECT_TRUE(window().isEnabled());
  }
}

TEST_F(MainWindow, CancelledFileDialogClearsTheField) {
  const std::string file = dir_ / "brief.txt";
  testing_support::WriteFile(file, "Hallo");
  answers_.fileOpen = {file};
  Click(6);
  EXPECT_EQ(answers_.dialogTitles, (std::vector<std::string>{"Datei zum Verschlüsseln wählen"}));
  EXPECT_EQ(Gadget<QLineEdit>(5)->text().toStdString(), file);
  EXPECT_EQ(window().state().sourceFile, file);

  Click(6);  // the script is exhausted: a cancel
  EXPECT_TRUE(Gadget<QLineEdit>(5)->text().isEmpty());
  EXPECT_EQ(window().state().sourceFile, "");
  Click(11);
  EXPECT_EQ(LastMessage(), (Message{"Fehler", "Es wurde keine Datei ausgewählt", 64}));
  EXPECT_EQ(window().passwordDialog(), nullptr);
}

TEST_F(MainWindow, ChosenFolderFillsTheFieldAndACancelEmptiesIt) {
  const std::string folder = dir_.path() + "/";
  answers_.folder = {folder};
  Click(29);
  EXPECT_EQ(answers_.dialogTitles, (std::vector<std::string>{"Ordner Wählen"}));
  EXPECT_EQ(Gadget<QLineEdit>(28)->text().toStdString(), folder);
  EXPECT_EQ(window().state().sourceFolder, folder);
  Click(29);
  EXPECT_TRUE(Gadget<QLineEdit>(28)->text().isEmpty());
  EXPECT_EQ(window().state().sourceFolder, "");
}

TEST_F(MainWindow, MultiLineFieldShowsCrLfAsTwoLines) {
  window().frontEnd().SetGadgetText(48, "RC4-Verschlüsselung\r\nNicht Gepackt");
  EXPECT_EQ(Gadget<QPlainTextEdit>(48)->toPlainText(),
            QStringLiteral("RC4-Verschlüsselung\nNicht Gepackt"));
  EXPECT_EQ(window().frontEnd().GadgetText(48), "RC4-Verschlüsselung\r\nNicht Gepackt");
}

TEST_F(MainWindow, UnknownGadgetNumbersDoNothing) {
  for (int number : {0, 5, 8, 15, 16, 38, 54, 57, 67, 75, 83, 99, -1}) window().Dispatch(number);
  EXPECT_TRUE(answers_.messages.empty());
  EXPECT_TRUE(answers_.dialogTitles.empty());
  EXPECT_EQ(window().passwordDialog(), nullptr);
  EXPECT_TRUE(window().isEnabled());
}

TEST_F(MainWindow, PathFieldsKeepTheFileNameInViewAndShowTheWholePathAsTooltip) {
  const std::string deep = "/home/anna/" + std::string(200, 'o') + "/Steuererklärung.aes";
  const std::string shortPath = "/tmp/a.txt";
  for (int number : {5, 28, 45, 50}) {
    SCOPED_TRACE(number);
    auto* field = Gadget<shell::PathField>(number);
    ASSERT_NE(field, nullptr);
    window().frontEnd().SetGadgetText(number, deep);
    EXPECT_EQ(window().frontEnd().GadgetText(number), deep);  // the flows read it whole
    EXPECT_EQ(field->toolTip().toStdString(), deep);
    const QString shown = field->shownText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("/home/")));
    EXPECT_TRUE(shown.endsWith(QStringLiteral("/Steuererklärung.aes")));
    EXPECT_TRUE(shown.contains(QChar(0x2026)));  // the middle left out
    EXPECT_LE(field->fontMetrics().horizontalAdvance(shown), field->width());

    window().frontEnd().SetGadgetText(number, shortPath);
    EXPECT_EQ(field->shownText().toStdString(), shortPath);
    window().frontEnd().SetGadgetText(number, "");
    EXPECT_TRUE(field->toolTip().isEmpty());
  }
}

TEST(DialogFilters, AllFilesMeansEveryFile) {
  EXPECT_EQ(shell::NameFilters("Alle Dateien|*.*"),
            QStringList{QStringLiteral("Alle Dateien (*)")});
  // A pattern already written into the display text is not doubled.
  EXPECT_EQ(shell::NameFilters("Alle Dateien (*.*)|*.*"),
            QStringList{QStringLiteral("Alle Dateien (*)")});
  EXPECT_EQ(shell::NameFilters("Verschlüsselte Ordner|*.aes;*.aespk;*.rc4;*.rc4pk"),
            QStringList{QStringLiteral("Verschlüsselte Ordner (*.aes *.aespk *.rc4 *.rc4pk)")});
  EXPECT_TRUE(shell::NameFilters("").isEmpty());
}

TEST(DialogStart, DefaultPathSplitsAtItsLastSlash) {
  // The current folder as default path: the dialog opens in its parent and
  // proposes its own name.
  const shell::DialogStart start = shell::SplitDefaultPath("/home/anna/Daten");
  EXPECT_EQ(start.folder, QStringLiteral("/home/anna/"));
  EXPECT_EQ(start.name, QStringLiteral("Daten"));
  EXPECT_EQ(shell::SplitDefaultPath("/").folder, QStringLiteral("/"));
  EXPECT_TRUE(shell::SplitDefaultPath("/").name.isEmpty());
  EXPECT_TRUE(shell::SplitDefaultPath("").folder.isEmpty());
}

TEST(DialogStart, FolderResultsAlwaysEndInASlash) {
  EXPECT_EQ(shell::FolderResult(QStringLiteral("/home/anna/Fotos")), "/home/anna/Fotos/");
  EXPECT_EQ(shell::FolderResult(QStringLiteral("/home/anna/Fotos/")), "/home/anna/Fotos/");
  EXPECT_EQ(shell::FolderResult(QStringLiteral("/")), "/");
  EXPECT_EQ(shell::FolderResult(QString()), "");
}

// The real dialogs: a timer acts on the modal dialog once it is up.
class RealDialogs : public WindowTest {
 protected:
  RealDialogs() { window().frontEnd().AnswerFrom(nullptr); }

  template <typename D>
  void WhenShown(std::function<void(D*)> act) {
    auto* timer = new QTimer(&window());
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, act] {
      if (auto* dialog = qobject_cast<D*>(QApplication::activeModalWidget())) {
        timer->stop();
        timer->deleteLater();
        act(dialog);
      }
    });
    timer->start();
  }
};

// Types path into the file dialog's name field and presses Open. Typing and
// pressing happen in one go: the dialog fills its folder view asynchronously
// and may clear a selection made earlier (a busy /tmp takes a while).
void TypeAndOpen(QFileDialog* dialog, const std::string& path) {
  auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
  ASSERT_NE(name, nullptr);
  // Let the first listing settle before typing, as a person would.
  QTest::qWait(50);
  name->setText(QString::fromStdString(path));
  static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, through the public slot
}

TEST_F(RealDialogs, FolderDialogGivesAFolderEndingInASlash) {
  testing_support::TempFolder chosen;
  WhenShown<QFileDialog>([&chosen](QFileDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Ordner Wählen"));
    TypeAndOpen(dialog, chosen.path());
  });
  Click(29);
  EXPECT_EQ(window().state().sourceFolder, chosen.path() + "/");
  EXPECT_EQ(Gadget<QLineEdit>(28)->text().toStdString(), chosen.path() + "/");
}

// Qt's own dialog, whatever the desktop offers, so that it speaks German.
TEST_F(RealDialogs, FileDialogsAreQtsOwnWithGermanButtons) {
  ASSERT_TRUE(shell::InstallGermanQtTexts(*QCoreApplication::instance()));
  QStringList buttons;
  bool ownDialog = false;
  WhenShown<QFileDialog>([&](QFileDialog* dialog) {
    ownDialog = dialog->testOption(QFileDialog::DontUseNativeDialog);
    for (const QPushButton* button : dialog->findChildren<QPushButton*>()) {
      buttons << button->text().remove(QLatin1Char('&'));
    }
    dialog->reject();
  });
  Click(6);
  EXPECT_TRUE(ownDialog);
  EXPECT_TRUE(buttons.contains(QStringLiteral("Öffnen"))) << buttons.join(u',').toStdString();
  EXPECT_TRUE(buttons.contains(QStringLiteral("Abbrechen")));
}

TEST_F(RealDialogs, CancelledFileOpenDialogGivesAnEmptyPath) {
  window().state().sourceFile = "/alt";
  window().frontEnd().SetGadgetText(5, "/alt");
  WhenShown<QFileDialog>([](QFileDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Datei zum Verschlüsseln wählen"));
    EXPECT_EQ(dialog->fileMode(), QFileDialog::AnyFile);
    dialog->reject();
  });
  Click(6);
  EXPECT_EQ(window().state().sourceFile, "");
  EXPECT_TRUE(Gadget<QLineEdit>(5)->text().isEmpty());
}

TEST_F(RealDialogs, FileOpenDialogTakesTheNameOfAFileNotYetThere) {
  const std::string wanted = dir_ / "neu.txt";
  WhenShown<QFileDialog>([&wanted](QFileDialog* dialog) { TypeAndOpen(dialog, wanted); });
  Click(6);
  EXPECT_EQ(window().state().sourceFile, wanted);
}

TEST_F(RealDialogs, FileOpenDialogInsistsOnAnExistingFolder) {
  // The first answer names a missing folder: the dialog comes again, and
  // the second answer is taken.
  const std::string wanted = dir_ / "da.txt";
  int shown = 0;
  WhenShown<QFileDialog>([&](QFileDialog* dialog) {
    ++shown;
    TypeAndOpen(dialog, dir_ / "fehlt/da.txt");
    WhenShown<QFileDialog>([&](QFileDialog* again) {
      ++shown;
      TypeAndOpen(again, wanted);
    });
  });
  Click(6);
  EXPECT_EQ(shown, 2);
  EXPECT_EQ(window().state().sourceFile, wanted);
}

// Choosing an existing file in the save dialog is a question first; only a
// yes gives its path to the flow that will replace it.
TEST_F(RealDialogs, SaveDialogAsksBeforeItGivesAnExistingFile) {
  const std::string existing = dir_ / "wichtig.txt";
  testing_support::WriteFile(existing, "wichtig");
  for (const bool agree : {false, true}) {
    SCOPED_TRACE(agree);
    bool asked = false;
    WhenShown<QFileDialog>([&](QFileDialog* dialog) {
      WhenShown<QMessageBox>([&, dialog](QMessageBox* question) {
        asked = true;
        question->button(agree ? QMessageBox::Yes : QMessageBox::No)->click();
        // Declined, the save dialog stays open; the user cancels it.
        if (!agree) QTimer::singleShot(0, dialog, [dialog] { dialog->reject(); });
      });
      TypeAndOpen(dialog, existing);
    });
    const std::string chosen = window().frontEnd().FileSaveDialog(
        "Dateinamen wählen oder ändern.", dir_ / "vorschlag.txt", "Alle Dateien (*.*)|*.*", 0);
    EXPECT_TRUE(asked);
    EXPECT_EQ(chosen, agree ? existing : "");
  }
}

TEST_F(RealDialogs, MessageBoxesShowTheirStyleIconAndOneOkButton) {
  const std::pair<int, QMessageBox::Icon> styles[] = {
      {0, QMessageBox::NoIcon}, {16, QMessageBox::Critical}, {64, QMessageBox::Information}};
  for (const auto& [style, icon] : styles) {
    SCOPED_TRACE(style);
    bool seen = false;
    WhenShown<QMessageBox>([&seen, icon = icon](QMessageBox* box) {
      seen = true;
      EXPECT_EQ(box->windowTitle(), QStringLiteral("Meldung"));
      EXPECT_EQ(box->text(), QStringLiteral("Zeile eins\nZeile zwei"));
      EXPECT_EQ(box->icon(), icon);
      EXPECT_EQ(box->buttons().size(), 1);
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      box->button(QMessageBox::Ok)->click();
    });
    window().frontEnd().MessageBox("Meldung", "Zeile eins\r\nZeile zwei", style);
    EXPECT_TRUE(seen);
  }
}

}  // namespace
