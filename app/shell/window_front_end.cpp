// The flows' front end on Qt dialogs and the main window's gadgets.
#include "app/shell/window_front_end.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QRegularExpression>
#include <utility>

#include "app/shell/gadgets.h"

namespace shell {
namespace {

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Paths are the file system's bytes; Qt's own conversion keeps them intact.
QString PathToQt(std::string_view path) {
  return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

std::string PathFromQt(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

QMessageBox::Icon IconFor(int style) {
  switch (style) {
    case flows::kStyleStop:
      return QMessageBox::Critical;
    case flows::kStyleInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

void ApplyFilters(QFileDialog& dialog, std::string_view filter, int filterIndex) {
  const QStringList filters = NameFilters(filter);
  if (filters.isEmpty()) return;
  dialog.setNameFilters(filters);
  if (filterIndex >= 0 && filterIndex < filters.size())
    dialog.selectNameFilter(filters[filterIndex]);
}

void ApplyStart(QFileDialog& dialog, std::string_view defaultPath) {
  const DialogStart start = SplitDefaultPath(defaultPath);
  if (!start.folder.isEmpty()) dialog.setDirectory(start.folder);
  if (!start.name.isEmpty()) dialog.selectFile(start.name);
}

// Qt's own file dialog, not the desktop's: it speaks German through the
// translations loaded at start-up, whatever language the desktop speaks.
void UseOwnDialog(QFileDialog& dialog) {
  dialog.setOption(QFileDialog::DontUseNativeDialog);
}

// Shows dialog until it is cancelled or gives a path whose folder exists:
// a name of a file that does not exist yet is fine, a missing folder is not.
std::string AskForFile(QFileDialog& dialog) {
  while (dialog.exec() == QDialog::Accepted) {
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return "";
    const QFileInfo chosen(files.first());
    if (QFileInfo(chosen.absolutePath()).isDir()) return PathFromQt(chosen.absoluteFilePath());
  }
  return "";
}

}  // namespace

QStringList NameFilters(std::string_view filter) {
  const QStringList parts = FromUtf8(filter).split(QLatin1Char('|'));
  static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    QString display = parts[i];
    display.remove(trailingPatterns);
    QStringList patterns;
    for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
      patterns << (pattern.trimmed() == QStringLiteral("*.*") ? QStringLiteral("*")
                                                              : pattern.trimmed());
    }
    filters << QStringLiteral("%1 (%2)").arg(display, patterns.join(QLatin1Char(' ')));
  }
  return filters;
}

DialogStart SplitDefaultPath(std::string_view defaultPath) {
  const std::size_t slash = defaultPath.rfind('/');
  if (slash == std::string_view::npos) return {QString(), PathToQt(defaultPath)};
  return {PathToQt(defaultPath.substr(0, slash + 1)), PathToQt(defaultPath.substr(slash + 1))};
}

std::string FolderResult(const QString& chosen) {
  if (chosen.isEmpty()) return "";
  std::string folder = PathFromQt(chosen);
  if (folder.back() != '/') folder += '/';
  return folder;
}

WindowFrontEnd::WindowFrontEnd(QWidget& window, std::string programFolder)
    : window_(window), progress_(std::move(programFolder)) {}

void WindowFrontEnd::MessageBox(std::string_view title, std::string_view text, int style) {
  if (answers_ != nullptr) {
    answers_->Record(title, text, style);
    return;
  }
  QString body = FromUtf8(text);
  body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  QMessageBox box(IconFor(style), FromUtf8(title), body, QMessageBox::Ok, &window_);
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

std::string WindowFrontEnd::FileOpenDialog(std::string_view title, std::string_view defaultPath,
                                           std::string_view filter, int filterIndex) {
  if (answers_ != nullptr) return answers_->Answer(answers_->fileOpen, title);
  QFileDialog dialog(&window_, FromUtf8(title));
  UseOwnDialog(dialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  ApplyFilters(dialog, filter, filterIndex);
  ApplyStart(dialog, defaultPath);
  return AskForFile(dialog);
}

std::string WindowFrontEnd::FileSaveDialog(std::string_view title, std::string_view proposedPath,
                                           std::string_view filter, int filterIndex) {
  if (answers_ != nullptr) return answers_->Answer(answers_->fileSave, title);
  QFileDialog dialog(&window_, FromUtf8(title));
  UseOwnDialog(dialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  // The dialog's own question is the user's agreement to replace a file.
  ApplyFilters(dialog, filter, filterIndex);
  ApplyStart(dialog, proposedPath);
  return AskForFile(dialog);
}

std::string WindowFrontEnd::FolderDialog(std::string_view title, std::string_view startFolder) {
  if (answers_ != nullptr) return answers_->Answer(answers_->folder, title);
  QFileDialog dialog(&window_, FromUtf8(title));
  UseOwnDialog(dialog);
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly);
  if (!startFolder.empty()) dialog.setDirectory(PathToQt(startFolder));
  if (dialog.exec() != QDialog::Accepted) return "";
  const QStringList folders = dialog.selectedFiles();
  return folders.isEmpty() ? "" : FolderResult(folders.first());
}

bool WindowFrontEnd::IsChecked(int gadgetNumber) {
  return IsOn(FindGadget(&window_, gadgetNumber));
}

std::string WindowFrontEnd::GadgetText(int gadgetNumber) {
  return TextOf(FindGadget(&window_, gadgetNumber));
}

void WindowFrontEnd::SetGadgetText(int gadgetNumber, std::string_view text) {
  SetTextOf(FindGadget(&window_, gadgetNumber), text);
}

void WindowFrontEnd::StartProgress(std::string_view caption) {
  mainWindowText_ = std::to_string(window_.winId());
  window_.showMinimized();
  progress_.Start(caption, mainWindowText_);
}

void WindowFrontEnd::StopProgress() {
  progress_.Stop();
}

void WindowFrontEnd::RestoreMainWindow() {
  window_.showNormal();
  window_.raise();
  window_.activateWindow();
}

}  // namespace shell
