// Start-up in its order: single instance, temporary folder, font, window,
// event loop.
#include "app/shell/start_up.h"

#include <QApplication>

#include "app/shell/images.h"
#include "app/shell/main_window.h"
#include "platform/platform.h"

namespace shell {

int RunTresolin(int argc, char** argv) {
  // Before Qt connects to the display: a second copy needs none to leave.
  // A lock that cannot be made at all (no usable runtime folder) does not
  // keep the user out; the program then runs unguarded.
  if (platform::AcquireInstanceLock(kInstanceLockName) == platform::InstanceLock::kHeldElsewhere) {
    return 0;
  }

  QApplication app(argc, argv);
  const std::string tempFolder = platform::TempFolder();
  QApplication::setFont(DefaultFont());

  MainWindow window(tempFolder, platform::ProgramFolder());
  window.show();
  return QApplication::exec();
}

}  // namespace shell
