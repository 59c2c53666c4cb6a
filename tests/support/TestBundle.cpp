#include "tove/testing/TestBundle.h"

#include <fstream>

namespace tove::testing {
namespace {

std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

void addKey(std::string& plist, std::string_view key, std::string_view value) {
  plist += "  <key>" + escaped(key) + "</key>\n  <string>" + escaped(value) + "</string>\n";
}

}  // namespace

std::filesystem::path makeTestBundle(const std::filesystem::path& parent, std::string_view name,
                                     std::optional<std::string_view> version,
                                     std::optional<std::string_view> identifier) {
  auto bundle = parent / (std::string(name) + ".app");
  std::error_code error;
  std::filesystem::create_directories(bundle / "Contents" / "MacOS", error);
  std::filesystem::create_directories(bundle / "Contents" / "Resources", error);
  if (error) return {};
  std::string plist =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  addKey(plist, "CFBundleName", name);
  addKey(plist, "CFBundleExecutable", name);
  if (version) addKey(plist, "CFBundleShortVersionString", *version);
  if (identifier) addKey(plist, "CFBundleIdentifier", *identifier);
  plist += "</dict>\n</plist>\n";
  std::ofstream out(bundle / "Contents" / "Info.plist", std::ios::binary | std::ios::trunc);
  out << plist;
  out.close();
  if (!out) return {};
  return bundle;
}

}  // namespace tove::testing
