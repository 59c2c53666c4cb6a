#pragma once

#include <optional>

#include "sparkler/Version.h"

namespace sparkler::Application {

/// The running bundle's version from its "CFBundleShortVersionString", read anew on every
/// call; nullopt when the key is missing or is not a version.
std::optional<Version> version();

}  // namespace sparkler::Application
