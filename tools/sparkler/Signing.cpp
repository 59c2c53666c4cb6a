#include "Signing.h"

#include <charconv>

#include "sparkler/Manifest.h"

namespace sig = sparkler::ManifestSignature;

namespace {

constexpr std::int64_t kDefaultDays = 30;
// Longer than any release cycle: a signature that outlives its maker's care is what expiry
// exists to prevent.
constexpr std::int64_t kLongestDays = 3650;
constexpr std::int64_t kDay = 86'400;

void setReason(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
}

}  // namespace

bool SigningOptions::accepts(std::string_view option) {
  return option == "--key" || option == "--expires-in" || option == "--expires-at";
}

bool SigningOptions::take(std::string_view option, const std::string& value) {
  if (option == "--key") {
    keyFiles.push_back(value);
  } else if (option == "--expires-in") {
    expiresIn = value;
  } else if (option == "--expires-at") {
    expiresAt = value;
  } else {
    return false;
  }
  return true;
}

std::optional<ManifestSigner> ManifestSigner::prepare(const SigningOptions& options,
                                                      std::int64_t now, std::string* reason) {
  if (options.keyFiles.empty()) {
    setReason(reason, "no --key to sign with");
    return std::nullopt;
  }
  if (options.keyFiles.size() > sig::kMaximumSignatures) {
    setReason(reason, "more than " + std::to_string(sig::kMaximumSignatures) +
                          " keys: clients read no more signatures than that");
    return std::nullopt;
  }
  ManifestSigner signer;
  if (options.expiresIn && options.expiresAt) {
    setReason(reason, "--expires-in and --expires-at exclude each other");
    return std::nullopt;
  }
  if (options.expiresAt) {
    const auto at = sig::parseTime(*options.expiresAt);
    if (!at) {
      setReason(reason, "--expires-at \"" + *options.expiresAt +
                            "\" is not a UTC time such as 2027-01-31T12:00:00Z");
      return std::nullopt;
    }
    if (*at <= now || *at > now + kLongestDays * kDay) {
      setReason(reason, "--expires-at " + *options.expiresAt + " is not in the next " +
                            std::to_string(kLongestDays) + " days");
      return std::nullopt;
    }
    signer.expires = *at;
  } else {
    std::int64_t days = kDefaultDays;
    if (options.expiresIn) {
      const std::string& text = *options.expiresIn;
      const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), days);
      if (error != std::errc() || end != text.data() + text.size() || days < 1 ||
          days > kLongestDays) {
        setReason(reason, "--expires-in \"" + text + "\" is not a whole number of days from 1 to " +
                              std::to_string(kLongestDays));
        return std::nullopt;
      }
    }
    signer.expires = now + days * kDay;
  }
  for (const auto& file : options.keyFiles) {
    auto key = sig::SigningKey::load(file, reason);
    if (!key) return std::nullopt;
    signer.keys.push_back(std::move(key));
  }
  return signer;
}

std::optional<std::string> ManifestSigner::sign(std::string_view manifest,
                                                std::string* reason) const {
  // A signature on a manifest the updater refuses would only hide the fault until a check.
  std::string why;
  if (!sparkler::Manifest::read(manifest, &why)) {
    setReason(reason, "the manifest is not one the updater reads: " + why);
    return std::nullopt;
  }
  return sig::signFile(manifest, expires, keys);
}

std::string ManifestSigner::describe() const {
  std::string text = "on " + sig::formatTime(expires) + " with ";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i > 0) text += ", ";
    text += sig::toBase64(keys[i]->publicKey());
  }
  return text;
}
