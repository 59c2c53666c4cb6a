#pragma once

#include <optional>

#include "tove/Version.h"

namespace tove::Application {

/// The running bundle's version from its "CFBundleShortVersionString", read anew on every
/// call; nullopt when the key is missing or is not a version.
std::optional<Version> version();

}  // namespace tove::Application
