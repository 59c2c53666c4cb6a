#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
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

/// A squashfs disk image at `image` holding Tove.app/Contents made by makeAppBundle; false
/// when mksquashfs fails.
bool makeUpdateImage(const std::filesystem::path& image, std::string_view version);

/// The manifest entry of the file at `image` for `version`: name, size and MD5.
nlohmann::json entryFor(const std::filesystem::path& image, std::string_view version);

/// Every item under `root` with its type, mode and contents, to compare trees exactly.
std::map<std::string, std::string> snapshot(const std::filesystem::path& root);

}  // namespace sparkler::testing
