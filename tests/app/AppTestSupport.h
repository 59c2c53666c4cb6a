#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "sparkler/testing/TempDir.h"

namespace sparkler::testing {

/// Serves Qt events until `done()` holds; false when `timeout` passed first.
bool waitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(30));

/// <parent>/Tove.app with the given version, identifier org.tove.Tove, an executable file and
/// the real interface file and relaunch script from resources/. Empty path on failure.
std::filesystem::path makeAppBundle(const std::filesystem::path& parent, std::string_view version,
                                    std::string_view marker = "old");

/// The manifest entry of the file at `image` for `version`: name, size and MD5.
nlohmann::json entryFor(const std::filesystem::path& image, std::string_view version);

}  // namespace sparkler::testing
