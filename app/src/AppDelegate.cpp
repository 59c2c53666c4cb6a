#include "tove/AppDelegate.h"

#include <signal.h>
#include <spawn.h>

#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include <QCoreApplication>

#include "sparkler/Application.h"
#include "sparkler/Bundle.h"
#include "sparkler/Log.h"
#include "sparkler/Manifest.h"
#include "sparkler/Sparkler.h"
#include "tove/AppConfig.h"

extern char** environ;

namespace tove {

using namespace sparkler;

std::string AppDelegate::builtInManifestURL() {
  return std::string("https://") + kUpdateHost + "/assets/Tove/software/mac/_.json";
}

std::optional<pid_t> AppDelegate::launchDetached(const std::filesystem::path& executable) noexcept {
  posix_spawnattr_t attributes;
  if (posix_spawnattr_init(&attributes) != 0) return std::nullopt;
  // The child should not inherit a signal mask or ignored signals of ours (Qt's or libcurl's
  // choices are no business of the relaunch script and the app it starts).
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGCHLD);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string path = executable.string();
  char* argv[] = {path.data(), nullptr};
  pid_t pid = -1;
  int status = posix_spawn(&pid, path.c_str(), nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  if (status != 0) return std::nullopt;
  return pid;
}

AppDelegate::AppDelegate(std::string manifestURL, Launcher launcher)
    : manifestURL_(std::move(manifestURL)), launcher_(std::move(launcher)) {
  if (!launcher_) {
    launcher_ = [](const std::filesystem::path& executable) {
      return launchDetached(executable).has_value();
    };
  }
}

AppDelegate::~AppDelegate() {
  bounceButton_.clear();
  updateButton_.clear();
  label_.clear();
  window_.clear();
}

void AppDelegate::applicationDidFinishLaunching() {
  bounce_ = false;
  if (label_) {
    auto version = Application::version();
    label_->setText(version ? QString::fromStdString(version->description())
                            : QStringLiteral("Unknown version"));
  }
  // The observer is in place before the first check starts; it holds the delegate weakly,
  // as the updater outlives it.
  Sparkler::sparkler()->setObserver([weak = weak_from_this()](const SparklerProgress& progress) {
    if (auto self = weak.lock()) self->updaterReported(progress);
  });
  if (Sparkler::initialize(manifestURL_)) {
    statusLine_.checking();
  } else {
    statusLine_.message(QStringLiteral("Updates are off: no update address is set."));
  }
}

void AppDelegate::updaterReported(const SparklerProgress& progress) {
  using Phase = SparklerProgress::Phase;
  switch (progress.phase) {
    case Phase::Attaching:
    case Phase::Copying:
    case Phase::Replacing:
    case Phase::Detaching:
      if (installing_) statusLine_.installing(progress);
      return;
    case Phase::Checked:
      lastCheck_ = QTime::currentTime();
      showLastCheck();
      return;
    default:
      break;
  }
  if (installing_ || installEnded_) return;
  if (progress.phase == Phase::Checking) {
    statusLine_.checking();
  } else if (progress.phase == Phase::Downloading) {
    statusLine_.downloading(progress.bytes, progress.expected);
  } else if (progress.phase == Phase::Verified) {
    statusLine_.ready(Sparkler::sparkler()->latestVersion());
  }
}

void AppDelegate::showLastCheck(bool asked) {
  if (installing_ || installEnded_) return;
  if (!lastCheck_) {
    if (asked) statusLine_.message(QStringLiteral("Still checking for updates…"));
    return;
  }
  auto sparkler = Sparkler::sparkler();
  if (sparkler->updateAvailable()) {
    statusLine_.ready(sparkler->latestVersion());
  } else if (auto error = sparkler->lastError()) {
    statusLine_.failed(error, manifestURL_, false);
  } else {
    statusLine_.upToDate(*lastCheck_, asked);
  }
}

void AppDelegate::checkForUpdates() {
  auto sparkler = Sparkler::sparkler();
  const bool available = sparkler->updateAvailable();
  // While an installation runs the button stays off, so that a check cannot start a second
  // installation over the same bundle.
  if (updateButton_) updateButton_->setEnabled(available && !installing_);
  showLastCheck(true);
  if (!available) {
    Log::line("YOU ARE ALREADY UP TO DATE");
    return;
  }
  static constexpr std::string_view kHeading = "UPDATE AVAILABLE\n";
  std::string entry = "null";
  if (auto updates = sparkler->updates(); updates && updates->is_array() && !updates->empty()) {
    // The entry comes from the network: its text is shortened to keep the line short.
    entry = Manifest::describe(updates->back(), Manifest::kDescriptionBytes - kHeading.size());
  }
  Log::line(std::string(kHeading) + entry);
}

void AppDelegate::update() {
  auto sparkler = Sparkler::sparkler();
  if (!sparkler->updateAvailable() || installing_) return;
  if (updateButton_) updateButton_->setEnabled(false);
  installing_ = true;
  installEnded_ = false;
  statusLine_.installing({});
  sparkler->update([self = shared_from_this()](bool installed) {
    self->installing_ = false;
    self->installEnded_ = true;
    auto sparkler = Sparkler::sparkler();
    if (installed) {
      self->statusLine_.installed(sparkler->latestVersion());
    } else {
      self->statusLine_.failed(sparkler->lastUpdateError(), self->manifestURL_, true);
    }
    if (self->updateButton_) self->updateButton_->setEnabled(true);
    if (self->bounceButton_) self->bounceButton_->setEnabled(true);
  });
}

void AppDelegate::bounce() {
  bounce_ = true;
  QCoreApplication::quit();
}

void AppDelegate::applicationWillTerminate() {
  if (!bounce_) return;
  auto script = Bundle::mainBundle()->URLForResource("bounce", "sh", "Scripts");
  if (!script) {
    Log::error("Cannot relaunch: Scripts/bounce.sh is missing from the bundle");
    return;
  }
  if (!launcher_(*script)) Log::error("Cannot relaunch: " + script->string() + " did not start");
}

}  // namespace tove
