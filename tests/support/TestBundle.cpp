#include "sparkler/testing/TestBundle.h"

#include "sparkler/testing/TempDir.h"

namespace sparkler::testing {

std::filesystem::path makeTestBundle(const std::filesystem::path& parent, std::string_view name,
                                     std::optional<std::string_view> version,
                                     std::optional<std::string_view> identifier) {
  auto bundle = parent / (std::string(name) + ".app");
  std::error_code error;
  std::filesystem::create_directories(bundle / "Contents" / "MacOS", error);
  std::filesystem::create_directories(bundle / "Contents" / "Resources", error);
  if (error) return {};
  auto key = [](std::string_view key, std::string_view value) {
    return "  <key>" + std::string(key) + "</key>\n  <string>" + std::string(value) + "</string>\n";
  };
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" +
      key("CFBundleName", name) + key("CFBundleExecutable", name);
  if (version) plist += key("CFBundleShortVersionString", *version);
  if (identifier) plist += key("CFBundleIdentifier", *identifier);
  plist += "</dict>\n</plist>\n";
  return writeFile(bundle / "Contents" / "Info.plist", plist) ? bundle : std::filesystem::path();
}

}  // namespace sparkler::testing
