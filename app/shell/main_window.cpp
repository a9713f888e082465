// The main window's gadgets, its event dispatch and the password dialogs'
// life around it.
#include "app/shell/main_window.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSessionManager>
#include <QStatusBar>
#include <QTabWidget>
#include <QWindow>
#include <utility>

#include "app/flows/texts.h"
#include "app/layout/layout.h"
#include "app/shell/gadgets.h"
#include "app/shell/images.h"
#include "crypto/secret.h"
#include "crypto/trailer.h"
#include "platform/platform.h"

namespace shell {
namespace {

namespace text = flows::text;

using layout::GadgetRow;
using layout::Group;
using layout::Initially;
using layout::Kind;
using layout::kTabTitles;

const char kFrameStyle[] =
    "QGroupBox { border: 1px solid palette(mid); border-radius: 3px; margin-top: 6px; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
    " left: 7px; padding: 0px 2px; }";

constexpr Qt::WindowFlags kWindowFlags = Qt::Window | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

void CentreOnScreen(QWidget* window) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

QWidget* MakeGadget(const GadgetRow& row, QWidget* page, const QPixmap& encryptImage,
                    const QPixmap& decryptImage) {
  const QString label = row.text != nullptr ? QString::fromUtf8(row.text) : QString();
  QWidget* gadget = nullptr;
  switch (row.kind) {
    case Kind::kFrame:
      gadget = new QGroupBox(label, page);
      // The frame's top line runs through the middle of its title, so that
      // the gadgets placed inside sit below the line, not on it.
      gadget->setStyleSheet(QString::fromLatin1(kFrameStyle));
      break;
    case Kind::kField:
      gadget = new PathField(page);
      break;
    case Kind::kArea: {
      auto* area = new QPlainTextEdit(page);
      area->setReadOnly(true);
      gadget = area;
      break;
    }
    case Kind::kButton:
      gadget = new QPushButton(label, page);
      break;
    case Kind::kImage:
      gadget = new ImageButton(
          row.picture == layout::Picture::kEncrypt ? encryptImage : decryptImage, page);
      break;
    case Kind::kOption:
      gadget = new QRadioButton(label, page);
      break;
    case Kind::kCheck:
      gadget = new QCheckBox(label, page);
      break;
    case Kind::kStaticText: {
      auto* info = new QLabel(QStringLiteral("%1\n%2").arg(QString::fromUtf8(layout::kInfoText),
                                                           QString::fromUtf8(kCredit)),
                              page);
      info->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
      gadget = info;
      break;
    }
  }
  gadget->setObjectName(GadgetName(row.number));
  gadget->setGeometry(row.x, row.y, row.w, row.h);
  return gadget;
}

// The user's input, as opposed to what the window system tells a window.
bool IsUserInput(const QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
      return true;
    default:
      return false;
  }
}

// A choice handler's dialog answered in advance with the path the program
// was given; everything else goes to the window as usual.
class GivenPath : public GuiThreadFrontEnd {
 public:
  GivenPath(flows::FrontEnd& window, QObject& guiObject, std::string path)
      : GuiThreadFrontEnd(window, guiObject), path_(std::move(path)) {}

  std::string FileOpenDialog(std::string_view, std::string_view, std::string_view, int) override {
    return path_;
  }
  std::string FolderDialog(std::string_view, std::string_view) override { return path_; }

 private:
  std::string path_;
};

}  // namespace

MainWindow::MainWindow(std::string tempFolder, std::string programFolder)
    : QWidget(nullptr, kWindowFlags), ui_(*this, std::move(programFolder)) {
  state_.tempFolder = std::move(tempFolder);
  setObjectName(QStringLiteral("window-0"));
  setWindowTitle(QString::fromUtf8(kMainWindowTitle));
  setFont(DefaultFont());
  setFixedSize(kClientWidth, kClientHeight);
  BuildGadgets();
  CentreOnScreen(this);
  connect(&flowThread_, &FlowThread::finished, this, &MainWindow::FlowEnded);
#if QT_CONFIG(sessionmanager)
  // Direct: the session manager wants its answer before the signal returns.
  connect(qApp, &QGuiApplication::commitDataRequest, this, &MainWindow::RefuseLogout,
          Qt::DirectConnection);
#endif
}

MainWindow::~MainWindow() {
  // The flow may be waiting for this window to answer it.
  flowThread_.WaitForEnd();
  delete dialog_.data();
}

void MainWindow::BuildGadgets() {
  auto* statusBar = new QStatusBar(this);
  statusBar->setObjectName(QStringLiteral("status-bar"));
  statusBar->setSizeGripEnabled(false);
  statusBar->setGeometry(0, kTabPanelHeight, kClientWidth, kClientHeight - kTabPanelHeight);
  auto* credit = new QLabel(QString::fromUtf8(kCredit), statusBar);
  credit->setObjectName(QStringLiteral("credit"));
  credit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  credit->setContentsMargins(0, 0, 6, 0);
  statusBar->addWidget(credit, 1);

  // Composed once; all four image buttons share them.
  const QPixmap encryptImage = QPixmap::fromImage(ComposeButtonImage(ButtonImage::kEncrypt));
  const QPixmap decryptImage = QPixmap::fromImage(ComposeButtonImage(ButtonImage::kDecrypt));

  auto* tabs = tabs_ = new QTabWidget(this);
  tabs->setObjectName(QStringLiteral("tab-panel"));
  tabs->setGeometry(0, 0, kClientWidth, kTabPanelHeight);
  QWidget* pages[layout::kTabCount];
  for (int tab = 0; tab < layout::kTabCount; ++tab) {
    pages[tab] = new QWidget(tabs);
    tabs->addTab(pages[tab], QString::fromUtf8(kTabTitles[tab]));
  }

  QButtonGroup* groups[layout::kGroupCount] = {};
  for (int group = layout::kGroupA; group < layout::kGroupCount; ++group) {
    groups[group] = new QButtonGroup(this);
    groups[group]->setExclusive(true);
  }

  for (const GadgetRow& row : layout::MainWindowGadgets()) {
    QWidget* gadget = MakeGadget(row, pages[row.tab], encryptImage, decryptImage);
    if (row.group != layout::kNoGroup)
      groups[row.group]->addButton(static_cast<QAbstractButton*>(gadget));
    if (row.initially == Initially::kOn) static_cast<QAbstractButton*>(gadget)->setChecked(true);
    if (row.initially == Initially::kHidden) gadget->hide();
    // Every event of a button, option or check box goes through Dispatch;
    // those without a handler are ignored there.
    if (auto* button = qobject_cast<QAbstractButton*>(gadget)) {
      const int number = row.number;
      connect(button, &QAbstractButton::clicked, this, [this, number] { Dispatch(number); });
    }
  }
}

// Gadget events, by number: the choose buttons, the encrypt and decrypt
// buttons that open a password dialog, and the dialogs' OK buttons that
// start a flow. Every number not listed does nothing.
void MainWindow::Dispatch(int gadgetNumber) {
  namespace g = flows::gadget;
  if (flowRunning()) return;
  switch (gadgetNumber) {
    case g::kChooseSourceFile:  // 6: choose the file to encrypt
      flows::ChooseFileToEncrypt(state_, ui_);
      break;
    case g::kChooseSourceFolder:  // 29: choose the folder to encrypt
      flows::ChooseFolderToEncrypt(state_, ui_);
      break;
    case g::kEncryptFile:  // 11: dialog 1 with its meter
      if (FieldEmpty(g::kSourceFileField)) {
        ui_.MessageBox(text::kError, text::kNoFileChosen, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(PasswordDialogKind::kEncryptFile);
      }
      break;
    case g::kEncryptFolder:  // 34: dialog 3 with its meter
      if (FieldEmpty(g::kSourceFolderField)) {
        ui_.MessageBox(text::kError, text::kNoFolderChosen, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(PasswordDialogKind::kEncryptFolder);
      }
      break;
    case g::kOkEncryptFile:  // 57: OK of dialog 1, file encryption
      if (TakePassword(PasswordDialogKind::kEncryptFile)) {
        const flows::EncryptionOptions options = FileOptions();
        RunFlow([this, options] { flows::EncryptFile(state_, onGuiThread_, options); });
      }
      break;
    case g::kOkEncryptFolder:  // 75: OK of dialog 3, folder encryption
      if (TakePassword(PasswordDialogKind::kEncryptFolder)) {
        const flows::EncryptionOptions options = FolderOptions();
        RunFlow([this, options] { flows::EncryptFolder(state_, onGuiThread_, options); });
      }
      break;
    case g::kChooseFileContainer:  // 46: choose a file container
      flows::ChooseFileContainer(state_, ui_);
      break;
    case g::kDecryptFile:  // 42: dialog 2
      if (FieldEmpty(g::kFileContainerField)) {
        ui_.MessageBox(text::kError, text::kNoFileChosen, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(PasswordDialogKind::kDecryptFile);
      }
      break;
    case g::kOkDecryptFile:  // 67: OK of dialog 2, file decryption
      if (TakePassword(PasswordDialogKind::kDecryptFile))
        RunFlow([this] { flows::DecryptFile(state_, onGuiThread_); });
      break;
    case g::kChooseFolderContainer:  // 51: choose a folder container
      flows::ChooseFolderContainer(state_, ui_);
      break;
    case g::kDecryptFolder:  // 43: dialog 4 (two blanks in its answer)
      if (FieldEmpty(g::kFolderContainerField)) {
        ui_.MessageBox(text::kError, text::kNoFolderChosenDecrypt, flows::kStyleInformation);
      } else {
        OpenPasswordDialog(PasswordDialogKind::kDecryptFolder);
      }
      break;
    case g::kOkDecryptFolder:  // 83: OK of dialog 4, folder decryption
      if (TakePassword(PasswordDialogKind::kDecryptFolder))
        RunFlow([this] { flows::DecryptFolder(state_, onGuiThread_); });
      break;
    default:  // 0, 5, 8, 15, 16 and all others: nothing
      break;
  }
}

void MainWindow::CloseRequest(int windowNumber) {
  if (windowNumber == 0) {
    close();
    return;
  }
  if (dialog_ == nullptr || dialog_->number() != windowNumber) return;
  ClosePasswordDialog();
  ActivateAgain();
  TakePendingPath();
}

void MainWindow::OpenPath(const std::string& path) {
  pendingPath_ = path;
  TakePendingPath();
}

void MainWindow::Present() {
  if (dialog_ != nullptr) {
    if (dialog_->isMinimized()) dialog_->showNormal();
    dialog_->raise();
    dialog_->activateWindow();
    return;
  }
  if (isMinimized() && !flowRunning()) showNormal();
  raise();
  activateWindow();
}

void MainWindow::RunFlow(std::function<void()> flow) {
  qApp->installEventFilter(this);
  flowThread_.Start(std::move(flow));
}

void MainWindow::FlowEnded() {
  qApp->removeEventFilter(this);
  TakePendingPath();
}

// One choice at a time: a path handed over while the user answers a
// password dialog or a flow works waits for the window to be idle.
void MainWindow::TakePendingPath() {
  if (!pendingPath_ || flowRunning() || dialog_ != nullptr) return;
  const std::string path = std::move(*pendingPath_);
  pendingPath_.reset();
  ChoosePath(path);
}

void MainWindow::ChoosePath(const std::string& path) {
  if (platform::IsFolder(path)) {
    GivenPath folder(ui_, *this, path.back() == '/' ? path : path + "/");
    flows::ChooseFolderToEncrypt(state_, folder);
    tabs_->setCurrentIndex(layout::kEncryptTab);
    return;
  }
  GivenPath file(ui_, *this, path);
  const crypto::Trailer trailer = crypto::ReadTrailer(path);
  if (crypto::MatchFileMarker(trailer.markerLine) >= 0) {
    flows::ChooseFileContainer(state_, file);
    tabs_->setCurrentIndex(layout::kDecryptTab);
  } else if (crypto::MatchFolderMarker(trailer.markerLine) >= 0) {
    flows::ChooseFolderContainer(state_, file);
    tabs_->setCurrentIndex(layout::kDecryptTab);
  } else {
    flows::ChooseFileToEncrypt(state_, file);
    tabs_->setCurrentIndex(layout::kEncryptTab);
  }
}

QWidget* MainWindow::Gadget(int number) const {
  if (QWidget* gadget = FindGadget(this, number)) return gadget;
  return FindGadget(dialog_.data(), number);
}

PasswordDialog* MainWindow::CreatePasswordDialog(PasswordDialogKind kind) {
  return PasswordDialog::Create(kind);
}

void MainWindow::OpenPasswordDialog(PasswordDialogKind kind) {
  // One dialog at a time: the main window is disabled while one is open.
  if (dialog_ != nullptr) return;
  setEnabled(false);
  PasswordDialog* dialog = CreatePasswordDialog(kind);
  if (dialog == nullptr) {
    // Nothing to type into: leave the user a working main window.
    ActivateAgain();
    return;
  }
  dialog_ = dialog;
  connect(dialog, &PasswordDialog::gadgetEvent, this, &MainWindow::Dispatch);
  connect(dialog, &PasswordDialog::closeRequested, this, &MainWindow::CloseRequest);
  CentreOnScreen(dialog);
  // The window manager keeps a dialog above the window it belongs to, also
  // when the user clicks the disabled main window.
  if (QWindow* own = windowHandle()) {
    dialog->winId();
    dialog->windowHandle()->setTransientParent(own);
  }
  dialog->show();
  dialog->raise();
  dialog->activateWindow();
  dialog->StartMeter();
}

// The first steps of every OK handler, in their order: take the password,
// stop the meter, close the dialog, enable the main window and make it the
// active window. Returns false when that dialog is not the open one.
bool MainWindow::TakePassword(PasswordDialogKind kind) {
  if (dialog_ == nullptr || dialog_->kind() != kind) return false;
  std::string typed = dialog_->password().toStdString();
  state_.password = platform::PasswordBytes(typed);
  crypto::WipeBytes(typed.data(), typed.capacity());
  ClosePasswordDialog();
  ActivateAgain();
  return true;
}

void MainWindow::ClosePasswordDialog() {
  PasswordDialog* dialog = dialog_.data();
  if (dialog == nullptr) return;
  dialog_ = nullptr;
  dialog->StopMeter();
  dialog->hide();
  // The OK button that got us here is still on the call stack.
  dialog->deleteLater();
}

void MainWindow::ActivateAgain() {
  setEnabled(true);
  raise();
  activateWindow();
}

flows::EncryptionOptions MainWindow::FileOptions() {
  namespace g = flows::gadget;
  flows::EncryptionOptions options;
  options.cipher = ui_.IsChecked(g::kFileRc4) ? crypto::Cipher::kRc4 : crypto::Cipher::kAes;
  options.packed = ui_.IsChecked(g::kFilePackYes);
  options.replaceOriginal = ui_.IsChecked(g::kReplaceOriginal);
  return options;
}

flows::EncryptionOptions MainWindow::FolderOptions() {
  namespace g = flows::gadget;
  flows::EncryptionOptions options;
  options.cipher = ui_.IsChecked(g::kFolderRc4) ? crypto::Cipher::kRc4 : crypto::Cipher::kAes;
  options.packed = ui_.IsChecked(g::kFolderPackYes);
  return options;  // the output folder comes from the folder dialog
}

bool MainWindow::FieldEmpty(int gadgetNumber) const {
  return TextOf(FindGadget(this, gadgetNumber)).empty();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // A flow ends first: half a container or half a restored tree is no way
  // to leave.
  if (flowRunning()) {
    event->ignore();
    return;
  }
  ClosePasswordDialog();
  ui_.StopProgress();
  event->accept();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (flowRunning() && watched->isWidgetType() && IsUserInput(event) &&
      static_cast<QWidget*>(watched)->window() == this) {
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::RefuseLogout(QSessionManager& manager) {
  // Ending the session would end the flow part-way; the user logs out once
  // it is done. Without leave to interact the session goes on regardless,
  // and the interrupt clean-up removes the flow's working files.
#if QT_CONFIG(sessionmanager)
  if (flowRunning() && manager.allowsInteraction()) manager.cancel();
#else
  (void)manager;
#endif
}

}  // namespace shell
