#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace sparkler::testing {

/// Makes `<parent>/<name>.app` with Contents/Info.plist (CFBundleName, CFBundleExecutable,
/// and the version and identifier when given), Contents/MacOS and Contents/Resources.
/// Returns the bundle folder; an empty path when it could not be written.
std::filesystem::path makeTestBundle(const std::filesystem::path& parent, std::string_view name,
                                     std::optional<std::string_view> version,
                                     std::optional<std::string_view> identifier);

}  // namespace sparkler::testing
