#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "sparkler/Sparkler.h"

namespace sparkler {

// Fresh updaters for tests and benchmarks, beside the process's shared one; the only friend
// of Sparkler, so production code has no way to make a second updater.
struct SparklerTesting {
  static std::shared_ptr<Sparkler> make(Sparkler::TimeLimits limits = {}) {
    return std::shared_ptr<Sparkler>(new Sparkler(limits));
  }
  // The manifest without the check chain that setManifest starts.
  static void setManifestOnly(Sparkler& sparkler, std::string url) {
    std::lock_guard lock(sparkler.mutex_);
    sparkler.manifest_ = std::make_shared<const std::string>(std::move(url));
  }
};

}  // namespace sparkler
