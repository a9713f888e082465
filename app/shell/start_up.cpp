// Start-up in its order: command line, single instance (or the hand-over to
// the copy that runs), temporary folder, font, window, event loop.
#include "app/shell/start_up.h"

#include <unistd.h>

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMetaObject>
#include <QTranslator>
#include <chrono>
#include <iostream>
#include <string>
#include <vector>

#include "app/shell/command_line.h"
#include "app/shell/images.h"
#include "app/shell/instance_channel.h"
#include "app/shell/main_window.h"
#include "platform/platform.h"

namespace shell {
namespace {

constexpr std::string_view kPrefix = "tresolin: ";

// How long a second start waits for the first copy's socket: that copy may
// have taken the lock a moment ago and still be starting Qt.
constexpr std::chrono::seconds kHandOverPatience{10};

}  // namespace

bool InstallGermanQtTexts(QCoreApplication& app) {
  // Dates and sizes in the file dialog as German users read them.
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  auto* translator = new QTranslator(&app);
  if (!translator->load(QStringLiteral("qtbase_de"),
                        QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    delete translator;
    return false;
  }
  return QCoreApplication::installTranslator(translator);
}

int RunTresolin(int argc, char** argv) {
  const CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  switch (line.action) {
    case CommandLine::Action::kHelp:
      std::cout << kUsageText << kHelpText;
      return 0;
    case CommandLine::Action::kVersion:
      std::cout << kVersionText;
      return 0;
    case CommandLine::Action::kUsageError:
      std::cerr << kPrefix << line.error << '\n' << kUsageText;
      return 2;
    case CommandLine::Action::kRun:
      break;
  }
  // Made absolute here: the copy that takes it runs in another folder.
  std::string path = line.path.empty() ? "" : platform::AbsolutePath(line.path);
  if (!path.empty() && !platform::IsFolder(path) &&
      platform::KindOfPath(path) == platform::PathKind::kMissing) {
    std::cerr << kPrefix << line.path << ": Datei nicht gefunden\n";
    path.clear();
  }

  // Before Qt connects to the display: a second copy needs none to leave.
  const platform::InstanceLock lock = platform::AcquireInstanceLock(kInstanceLockName);
  const std::string socketPath = InstanceSocketPath(kInstanceLockName);
  if (lock == platform::InstanceLock::kHeldElsewhere) {
    QCoreApplication handOver(argc, argv);
    if (!SendToRunningCopy(socketPath, path, kHandOverPatience)) {
      std::cerr << kPrefix << "Tresolin läuft schon, sein Fenster antwortet aber nicht.\n";
      return 1;
    }
    return 0;
  }
  if (lock == platform::InstanceLock::kUnavailable) {
    // No usable runtime folder: the user is not kept out, only told.
    std::cerr << kPrefix
              << "Die Sperre gegen einen zweiten Start lässt sich nicht anlegen (weder in "
                 "$XDG_RUNTIME_DIR noch in /tmp/tresolin-"
              << ::getuid() << "); Tresolin läuft ohne sie.\n";
  }

  QApplication app(argc, argv);
  InstallGermanQtTexts(app);
  const std::string tempFolder = platform::TempFolder();
  QApplication::setFont(DefaultFont());

  MainWindow window(tempFolder, platform::ProgramFolder());
  InstanceServer server;
  if (lock == platform::InstanceLock::kAcquired && !server.Listen(socketPath)) {
    std::cerr << kPrefix << socketPath
              << ": ein zweiter Start kann dieses Fenster nicht erreichen\n";
  }
  QObject::connect(&server, &InstanceServer::openRequested, &window,
                   [&window](const std::string& given) {
                     if (!given.empty()) window.OpenPath(given);
                     window.Present();
                   });
  window.show();
  // Once the window is up: a choice may answer with a message box.
  if (!path.empty()) {
    QMetaObject::invokeMethod(
        &window, [&window, path] { window.OpenPath(path); }, Qt::QueuedConnection);
  }
  return QApplication::exec();
}

}  // namespace shell
