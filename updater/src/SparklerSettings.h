#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "sparkler/SparklerConfiguration.h"

namespace sparkler {

/// A configuration with its defaults filled in, as one updater uses it.
struct SparklerSettings {
  SparklerConfiguration configuration;
  /// The item the images hold: "<name>.app/Contents".
  std::string item;
  /// The CA bundle of configuration.extraCAFile; nullptr: the process-wide choice.
  std::shared_ptr<const std::string> caBundle;
};

}  // namespace sparkler
