#pragma once

namespace tove {

/// Runs Tove: makes the QApplication from the process's arguments, installs the Qt main
/// loop, loads Contents/Resources/MainWindow.ui from the main bundle, connects AppDelegate
/// and runs the event loop. The event loop's result, or 1 when the interface cannot be
/// loaded.
int ApplicationMain(int argc, char** argv);

}  // namespace tove
