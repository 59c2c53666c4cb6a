#include "tove/ApplicationMain.h"

#include <memory>
#include <string>

#include <QApplication>
#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>

#include "sparkler/Bundle.h"
#include "sparkler/Dispatch.h"
#include "sparkler/Log.h"
#include "sparkler/QtMainLoop.h"
#include "sparkler/URLLoader.h"
#include "tove/AppConfig.h"
#include "tove/AppDelegate.h"
#include "tove/Interface.h"

namespace tove {

using namespace sparkler;

bool waitForInstallation(const AppDelegate& delegate, std::chrono::milliseconds timeout) {
  QElapsedTimer clock;
  clock.start();
  // The outcome arrives as a posted event; the ticks bound each wait so the clock is read.
  QTimer tick;
  tick.start(100);
  while (delegate.installing()) {
    if (clock.elapsed() > timeout.count()) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

QIcon applicationIcon() {
  QIcon icon;
  for (const int size : {16, 32, 48, 64, 128, 256}) {
    const auto name = std::to_string(size) + "x" + std::to_string(size);
    if (auto file = Bundle::mainBundle()->URLForResource(name, "png", "icons")) {
      icon.addFile(QString::fromStdString(file->string()), QSize(size, size));
    }
  }
  return icon;
}

int ApplicationMain(int argc, char** argv) {
  QApplication application(argc, argv);
  // The desktop entry's name, and the window class its StartupWMClass names whatever the
  // command that started the app was called.
  QApplication::setApplicationName(QStringLiteral("Tove"));
  QGuiApplication::setDesktopFileName(QStringLiteral("org.tove.Tove"));

  // An installation swaps the bundle's Contents folder, after which /proc/self/exe names the
  // old, removed copy; the bundle found at launch stays the right one for the whole run.
  Bundle::overrideMainBundlePath(Bundle::mainBundle()->bundlePath());
  Log::setIdentity(Bundle::mainBundle()->bundleIdentifier().value_or(""));

  if (kExtraCAFile[0] != '\0' && !URLLoader::setExtraCAFile(std::filesystem::path(kExtraCAFile))) {
    Log::error(std::string("Cannot read the extra CA file ") + kExtraCAFile);
  }
  // The updater's scheduling steps and timers run on the GUI thread from its first check on.
  auto mainLoop = std::make_shared<QtMainLoop>();
  dispatch::setMainLoop(mainLoop);
  // Jobs still running at any return post nothing more into an application going away.
  struct CloseMainLoop {
    std::shared_ptr<QtMainLoop> loop;
    ~CloseMainLoop() {
      dispatch::setMainLoop(nullptr);
      loop->close();
    }
  } closeMainLoop{mainLoop};

  auto interfaceFile = Bundle::mainBundle()->URLForResource("MainWindow", "ui");
  if (!interfaceFile) {
    Log::error("Cannot find MainWindow.ui in the bundle " +
               Bundle::mainBundle()->bundlePath().string());
    return 1;
  }
  std::unique_ptr<QWidget> window = Interface::load(*interfaceFile);
  auto delegate = std::make_shared<AppDelegate>();
  if (!window || !Interface::connect(application, *window, delegate)) return 1;
  QApplication::setWindowIcon(applicationIcon());
  window->show();
  const int result = application.exec();
  if (delegate->installing()) {
    window->hide();
    if (!waitForInstallation(*delegate, std::chrono::minutes(2)))
      Log::warning("Quitting while an update is still being installed");
  }
  return result;
}

}  // namespace tove
