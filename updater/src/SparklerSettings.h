#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sparkler/ManifestSignature.h"

#include "sparkler/SparklerConfiguration.h"

namespace sparkler {

/// A configuration with its defaults filled in, as one updater uses it.
struct SparklerSettings {
  SparklerConfiguration configuration;
  /// The item the images hold: "<name>.app/Contents".
  std::string item;
  /// The CA bundle of configuration.extraCAFile; nullptr: the process-wide choice.
  std::shared_ptr<const std::string> caBundle;
  /// Whether manifests must be signed: keys were configured, usable or not, so that a key that
  /// cannot be used never turns verification off.
  bool signatureRequired = false;
  /// The keys that decoded, of which one must have signed the manifest.
  std::vector<ManifestSignature::PublicKey> trustedKeys;
};

}  // namespace sparkler
