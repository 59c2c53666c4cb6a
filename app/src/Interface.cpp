#include "tove/Interface.h"

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QUiLoader>

#include "sparkler/Log.h"

namespace tove::Interface {

using namespace sparkler;

std::unique_ptr<QWidget> load(const std::filesystem::path& path) {
  QFile file(QString::fromStdString(path.string()));
  if (!file.open(QIODevice::ReadOnly)) {
    Log::error("Cannot read the interface file " + path.string() + ": " +
               file.errorString().toStdString());
    return nullptr;
  }
  QUiLoader loader;
  std::unique_ptr<QWidget> window(loader.load(&file));
  if (!window) {
    Log::error("Cannot load the interface file " + path.string() + ": " +
               loader.errorString().toStdString());
  }
  return window;
}

namespace {

template <class T>
T* find(QWidget& window, const char* name, bool& complete) {
  T* object = window.objectName() == QLatin1String(name)
                  ? qobject_cast<T*>(&window)
                  : window.findChild<T*>(QLatin1String(name));
  if (object == nullptr) {
    Log::error(std::string("The interface file has no ") + T::staticMetaObject.className() +
               " named " + name);
    complete = false;
  }
  return object;
}

}  // namespace

bool connect(QApplication& application, QWidget& window,
             const std::shared_ptr<AppDelegate>& delegate) {
  bool complete = true;
  auto* mainWindow = find<QWidget>(window, "window", complete);
  auto* label = find<QLabel>(window, "label", complete);
  auto* updateButton = find<QAbstractButton>(window, "updateButton", complete);
  auto* bounceButton = find<QAbstractButton>(window, "bounceButton", complete);
  auto* statusLabel = find<QLabel>(window, "statusLabel", complete);
  auto* progressBar = find<QProgressBar>(window, "progressBar", complete);
  auto* checkAction = find<QAction>(window, "checkForUpdatesAction", complete);
  auto* quitAction = find<QAction>(window, "quitAction", complete);
  if (!complete) return false;

  delegate->setWindow(mainWindow);
  delegate->setLabel(label);
  delegate->setUpdateButton(updateButton);
  delegate->setBounceButton(bounceButton);
  delegate->statusLine().setWidgets(statusLabel, progressBar);

  // The widgets hold the delegate weakly: it is the application's to keep, and a cycle through
  // Qt's connections would keep it past the event loop.
  std::weak_ptr<AppDelegate> weak = delegate;
  auto action = [weak](void (AppDelegate::*member)()) {
    return [weak, member] {
      if (auto strong = weak.lock()) ((*strong).*member)();
    };
  };
  QObject::connect(checkAction, &QAction::triggered, delegate->window(),
                   action(&AppDelegate::checkForUpdates));
  QObject::connect(updateButton, &QAbstractButton::clicked, updateButton,
                   action(&AppDelegate::update));
  QObject::connect(bounceButton, &QAbstractButton::clicked, bounceButton,
                   action(&AppDelegate::bounceAction));
  QObject::connect(quitAction, &QAction::triggered, &application, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  QObject::connect(&application, &QCoreApplication::aboutToQuit, delegate->window(),
                   action(&AppDelegate::applicationWillTerminate));
  QMetaObject::invokeMethod(&application, action(&AppDelegate::applicationDidFinishLaunching),
                            Qt::QueuedConnection);
  return true;
}

}  // namespace tove::Interface
