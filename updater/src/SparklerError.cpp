#include "sparkler/SparklerError.h"

namespace sparkler {
namespace {

struct Description {
  SparklerErrc errc;
  const char* name;
  const char* message;
};

constexpr Description kDescriptions[] = {
    {SparklerErrc::manifestUnreachable, "manifest-unreachable", "the manifest is unreachable"},
    {SparklerErrc::manifestUnreadable, "manifest-unreadable", "the manifest is unreadable"},
    {SparklerErrc::noCurrentVersion, "no-current-version", "the running app has no version"},
    {SparklerErrc::newestEntryInvalid, "newest-entry-invalid", "the newest entry is invalid"},
    {SparklerErrc::imageUnreachable, "image-unreachable", "the update's image is unreachable"},
    {SparklerErrc::imageMismatch, "image-mismatch", "the update's image does not match"},
    {SparklerErrc::cacheNotWritable, "cache-not-writable", "the cache folder is not writable"},
    {SparklerErrc::noUpdateAvailable, "no-update-available", "no update is available"},
    {SparklerErrc::attachFailed, "attach-failed", "the image could not be attached"},
    {SparklerErrc::itemRefused, "item-refused", "the image's item was refused"},
    {SparklerErrc::contentsRefused, "contents-refused", "the new contents were refused"},
    {SparklerErrc::replaceFailed, "replace-failed", "the contents could not be replaced"},
    {SparklerErrc::stalled, "stalled", "the image stopped responding"},
    {SparklerErrc::unusableConfiguration, "unusable-configuration",
     "the configuration is unusable"},
    {SparklerErrc::outOfMemory, "out-of-memory", "out of memory"},
    {SparklerErrc::signatureMissing, "signature-missing", "the manifest's signature is missing"},
    {SparklerErrc::signatureInvalid, "signature-invalid", "the manifest's signature is invalid"},
    {SparklerErrc::signatureExpired, "signature-expired", "the manifest's signature has expired"},
    {SparklerErrc::signatureUntrusted, "signature-untrusted",
     "the manifest is signed by no trusted key"},
};

const Description* describe(int value) noexcept {
  for (const auto& description : kDescriptions) {
    if (static_cast<int>(description.errc) == value) return &description;
  }
  return nullptr;
}

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "sparkler"; }
  std::string message(int value) const override {
    const auto* description = describe(value);
    return description != nullptr ? description->message : "unknown sparkler error";
  }
};

}  // namespace

const std::error_category& sparklerCategory() noexcept {
  static const Category category;
  return category;
}

std::error_code make_error_code(SparklerErrc errc) noexcept {
  return {static_cast<int>(errc), sparklerCategory()};
}

std::string errorCodeName(const std::error_code& code) {
  if (code.category() == sparklerCategory()) {
    if (const auto* description = describe(code.value())) return description->name;
  }
  return std::string(code.category().name()) + "-" + std::to_string(code.value());
}

}  // namespace sparkler
