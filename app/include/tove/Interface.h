#pragma once

#include <filesystem>
#include <memory>

#include <QApplication>
#include <QWidget>

#include "tove/AppDelegate.h"

namespace tove::Interface {

/// The window described by the Qt Designer file at `path`, made with QUiLoader; nullptr (and
/// a log line) when the file cannot be read or describes no widget.
std::unique_ptr<QWidget> load(const std::filesystem::path& path);

/// Connects `delegate` to the window and the application: the outlets window, label,
/// updateButton and bounceButton, and the status line's statusLabel and progressBar, found by
/// object name; checkForUpdatesAction, updateButton,
/// bounceButton and quitAction to their actions; applicationDidFinishLaunching queued to run
/// once the event loop runs; applicationWillTerminate on aboutToQuit. false (and a log line)
/// when an outlet or action is missing; the delegate is then left unconnected.
bool connect(QApplication& application, QWidget& window,
             const std::shared_ptr<AppDelegate>& delegate);

}  // namespace tove::Interface
