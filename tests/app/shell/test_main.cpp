// The shell tests' main: a QApplication on the offscreen platform, then
// GoogleTest.
#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <cstdio>
#include <cstdlib>

#include "app/shell/images.h"

namespace {

// The offscreen platform reports every raise() and size hint it cannot
// honour; those lines would bury the test output.
void QuietHandler(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (message.startsWith(QLatin1String("This plugin does not support"))) return;
  if (type == QtDebugMsg) return;
  std::fprintf(stderr, "%s\n", qPrintable(message));
}

}  // namespace

int main(int argc, char** argv) {
  qInstallMessageHandler(QuietHandler);
  // Always offscreen, also when the test list is read at build time: no
  // test may depend on, or pop up on, the developer's desktop.
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setFont(shell::DefaultFont());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
