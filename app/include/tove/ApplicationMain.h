#pragma once

#include <chrono>

#include <QIcon>

#include "tove/AppDelegate.h"

namespace tove {

/// Runs Tove: makes the QApplication from the process's arguments, installs the Qt main
/// loop, loads Contents/Resources/MainWindow.ui from the main bundle, connects AppDelegate
/// and runs the event loop. The event loop's result, or 1 when the interface cannot be
/// loaded.
int ApplicationMain(int argc, char** argv);

/// The application's icon, from the PNGs in the main bundle's Resources/icons; empty when
/// they are missing.
QIcon applicationIcon();

/// Serves the application's events until the installation `delegate` started has reported
/// its outcome, so that quitting never cuts one off with its disk image still attached; false
/// when `timeout` passed first.
bool waitForInstallation(const AppDelegate& delegate, std::chrono::milliseconds timeout);

}  // namespace tove
