#include "tove/Application.h"

#include "tove/Bundle.h"

namespace tove::Application {

std::optional<Version> version() {
  const auto text = Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleShortVersionString");
  if (!text) return std::nullopt;
  return Version::versionWithString(*text);
}

}  // namespace tove::Application
