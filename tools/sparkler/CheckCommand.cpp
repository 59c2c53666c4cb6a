#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "Commands.h"
#include "sparkler/Bundle.h"
#include "sparkler/Manifest.h"
#include "sparkler/ManifestSignature.h"
#include "sparkler/Sparkler.h"

namespace {

// Stands in for the app's main loop for one check: the check job's scheduling step is the
// sign that the check has ended, and is dropped so that no further check is armed.
class OneCheckLoop final : public sparkler::MainLoop {
 public:
  void post(std::function<void()>) override {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ended_.notify_all();
  }
  void postAfter(Seconds, std::function<void()>) override {}

  void wait() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return done_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
};

int checkUsage() {
  std::fprintf(stderr, "usage: sparkler check --bundle PATH.app --manifest URL [--ca-file PEM]\n");
  return 1;
}

}  // namespace

int checkCommand(int argc, char** argv) {
  std::optional<std::string> bundle, manifest, caFile;
  for (int i = 1; i < argc; ++i) {
    std::string_view option = argv[i];
    if (i + 1 >= argc) return checkUsage();
    if (option == "--bundle") {
      bundle = argv[++i];
    } else if (option == "--manifest") {
      manifest = argv[++i];
    } else if (option == "--ca-file") {
      caFile = argv[++i];
    } else {
      return checkUsage();
    }
  }
  if (!bundle || !manifest || manifest->empty()) return checkUsage();
  // Without an Info.plist the check could only fail for want of a version.
  if (!sparkler::Bundle::bundleWithPath(std::filesystem::path(*bundle))->infoDictionary()) {
    std::fprintf(stderr, "sparkler: %s is not a bundle (it has no readable Contents/Info.plist)\n",
                 bundle->c_str());
    return 1;
  }
  if (caFile && !std::filesystem::is_regular_file(std::filesystem::path(*caFile))) {
    std::fprintf(stderr, "sparkler: cannot read the CA file %s\n", caFile->c_str());
    return 1;
  }

  auto loop = std::make_shared<OneCheckLoop>();
  sparkler::SparklerConfiguration configuration;
  configuration.manifestURL = *manifest;
  configuration.bundle = *bundle;
  if (caFile) configuration.extraCAFile = *caFile;
  // An updater of its own for the bundle, started as the app starts its: cache folder,
  // clean-up, first check job. Why it cannot be made is on standard error already.
  auto sparkler = sparkler::Sparkler::create(configuration, {.mainLoop = loop});
  if (!sparkler) return 1;
  sparkler->start();
  loop->wait();

  const auto error = sparkler->lastError();
  nlohmann::json result = {{"updateAvailable", sparkler->updateAvailable()},
                           {"entry", nullptr},
                           {"cachedPath", nullptr},
                           {"error", nullptr}};
  if (error) {
    result["error"] = {{"code", sparkler::errorCodeName(error->code)}, {"message", error->message}};
  }
  // What became of the manifest's signature: null when one is required but the check ended
  // before it was looked at (the manifest itself could not be fetched).
  result["signature"] = nullptr;
  if (!sparkler->requiresSignature()) {
    result["signature"] = {{"state", "not-required"}};
  } else if (const auto verdict = sparkler->lastSignature()) {
    auto& signature = result["signature"];
    signature = {{"state", sparkler::ManifestSignature::stateName(verdict->state)}};
    if (verdict->expires != 0) {
      signature["expires"] = sparkler::ManifestSignature::formatTime(verdict->expires);
    }
    if (!verdict->reason.empty()) signature["reason"] = verdict->reason;
  }
  if (auto updates = sparkler->updates(); updates && updates->is_array() && !updates->empty()) {
    const auto& newest = updates->back();
    // An entry too long for a log line is shown as the log shows it, shortened.
    bool shortened = false;
    auto text =
        sparkler::Manifest::describe(newest, sparkler::Manifest::kDescriptionBytes, &shortened);
    result["entry"] = shortened ? nlohmann::json(std::move(text)) : newest;
    if (auto name = newest.find("name"); name != newest.end() && name->is_string()) {
      if (auto path = sparkler->cachedPath(name->get_ref<const std::string&>())) {
        result["cachedPath"] = *path;
      }
    }
  }
  std::string text = result.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
  // The cause of a failure is already on standard error: the updater logs it there.
  return error ? 1 : 0;
}
