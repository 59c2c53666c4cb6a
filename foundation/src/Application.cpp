#include "sparkler/Application.h"

#include "sparkler/Bundle.h"

namespace sparkler::Application {

std::optional<Version> version() {
  const auto text = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
  if (!text) return std::nullopt;
  return Version::versionWithString(*text);
}

}  // namespace sparkler::Application
