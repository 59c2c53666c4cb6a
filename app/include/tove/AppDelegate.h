#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <QTime>
#include <QWidget>

#include "sparkler/SparklerConfiguration.h"
#include "tove/StatusLine.h"

namespace tove {

/// The application's delegate: shows the running version, starts the updater, answers the
/// check, install and relaunch actions, and starts the relaunch script as the app quits.
/// Lives on the main thread; jobs that call back into it hold it through a shared_ptr.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
 public:
  /// Starts `executable` with no arguments and does not wait for it; false when it could not
  /// be started.
  using Launcher = std::function<bool(const std::filesystem::path& executable)>;

  /// The built-in manifest URL: https://<TOVE_UPDATE_HOST>/assets/Tove/software/mac/_.json.
  static std::string builtInManifestURL();

  /// Spawns `executable` with no arguments, the inherited environment and working folder, and
  /// default signal handling; the child is not waited for (an exiting app leaves it to init).
  /// nullopt when it could not be spawned.
  static std::optional<pid_t> launchDetached(const std::filesystem::path& executable) noexcept;

  /// `manifestURL` is handed to the updater at start-up; `launcher` starts the relaunch script.
  explicit AppDelegate(std::string manifestURL = builtInManifestURL(), Launcher launcher = {});
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  /// Start-up: clears the relaunch flag, shows the version (or "Unknown version" when the
  /// bundle has none that parses), has the status line follow the shared updater and
  /// configures that with the manifest URL.
  void applicationDidFinishLaunching();

  /// Enables the update button exactly when an update is available (and none is being
  /// installed), logs the result of the last manifest check and shows it on the status line.
  void checkForUpdates();

  /// Installs the available update, if any, keeping the update button disabled meanwhile;
  /// once the installation has ended, whatever its outcome, both buttons are enabled.
  void update();

  /// Sets the relaunch flag and quits the application.
  void bounce();

  /// What the updater reports, on the main loop: checks, the download and the installation's
  /// phases, shown on the status line. Once an installation has started, the line says how it
  /// goes and ends until the next one; checks meanwhile go unshown.
  void updaterReported(const sparkler::SparklerProgress& progress);

  /// The relaunch button's action; calls bounce().
  void bounceAction() { bounce(); }

  /// When the relaunch flag is set, starts Scripts/bounce.sh from the main bundle's resources.
  void applicationWillTerminate();

  /// Whether the relaunch flag is set.
  bool bouncing() const noexcept { return bounce_; }

  /// Whether an installation started by update() has not yet reported its outcome.
  bool installing() const noexcept { return installing_; }

  /// The URL handed to the updater at start-up.
  const std::string& manifestURL() const noexcept { return manifestURL_; }

  /// The outlets, set by Interface::connect; null when unset or once the widget is destroyed.
  QWidget* window() const { return window_; }
  void setWindow(QWidget* window) { window_ = window; }
  QLabel* label() const { return label_; }
  void setLabel(QLabel* label) { label_ = label; }
  QAbstractButton* updateButton() const { return updateButton_; }
  void setUpdateButton(QAbstractButton* button) { updateButton_ = button; }
  QAbstractButton* bounceButton() const { return bounceButton_; }
  void setBounceButton(QAbstractButton* button) { bounceButton_ = button; }

  /// The status line under the version; Interface::connect gives it its widgets.
  StatusLine& statusLine() { return statusLine_; }

 private:
  // The result of the last check on the status line, unless an installation holds it;
  // `asked` by the user, it says so even when nothing changed.
  void showLastCheck(bool asked = false);

  bool bounce_ = false;
  // The widgets belong to the window; QPointer turns a widget destroyed with it into null, so
  // a completion handler that arrives late touches nothing freed.
  QPointer<QWidget> window_;
  QPointer<QLabel> label_;
  QPointer<QAbstractButton> updateButton_;
  QPointer<QAbstractButton> bounceButton_;
  bool installing_ = false;
  // An installation's outcome is on the status line.
  bool installEnded_ = false;
  // When the last check job ended; nullopt before the first has.
  std::optional<QTime> lastCheck_;
  StatusLine statusLine_;
  std::string manifestURL_;
  Launcher launcher_;
};

}  // namespace tove
