#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Signed manifests: a maker signs the exact bytes of an update manifest with an Ed25519 key
// kept off the web server, and publishes the signatures beside the manifest ("_.json.sig"
// beside "_.json"). A bundle that lists public keys in its Info.plist ("SparklerPublicKeys")
// reads a manifest only when one of those keys signed it and the signature has not expired.
//
// The signature file is a JSON object:
//
//   {"expires": "2027-01-06T06:30:00Z",
//    "signatures": [{"key": "<public key, base64>", "signature": "<64 bytes, base64>"}]}
//
// "expires" is UTC in exactly the form YYYY-MM-DDTHH:MM:SSZ. Each signature is the Ed25519
// signature (RFC 8032, pure) of the message
//
//   "sparkler-manifest-v1" || 0x00 || expires as 8 bytes, big-endian Unix seconds || manifest
//
// so the manifest's bytes and the expiry are covered together, and no other pair of manifest
// and expiry gives the same message (the prefix and the expiry have fixed lengths).
namespace sparkler::ManifestSignature {

/// Signature files larger than this are not read.
inline constexpr std::size_t kMaximumFileSize = 64 * 1024;
/// Signature files with more signatures than this are not read.
inline constexpr std::size_t kMaximumSignatures = 16;
/// How far past its expiry a signature is still accepted, for clocks that are a little off.
inline constexpr std::int64_t kClockSkewSeconds = 10 * 60;
/// What is appended to the manifest's name to name its signature file.
inline constexpr std::string_view kFileSuffix = ".sig";

using PublicKey = std::array<unsigned char, 32>;
using Signature = std::array<unsigned char, 64>;

/// Standard base64 (with padding) of `bytes`.
std::string toBase64(std::span<const unsigned char> bytes);
/// The public key `text` encodes (base64 of exactly 32 bytes, surrounding white space
/// ignored); nullopt otherwise.
std::optional<PublicKey> publicKeyFromBase64(std::string_view text) noexcept;

/// `seconds` (Unix time) as "YYYY-MM-DDTHH:MM:SSZ"; and back, nullopt for any other form.
std::string formatTime(std::int64_t seconds);
std::optional<std::int64_t> parseTime(std::string_view text) noexcept;

/// The message that is signed for `manifest` and `expires` (the layout above).
std::string signedMessage(std::string_view manifest, std::int64_t expires);

/// A signature file read and checked for form (not yet verified).
struct File {
  std::int64_t expires = 0;
  struct Entry {
    PublicKey key;
    Signature signature;
  };
  std::vector<Entry> signatures;
};

/// `text` read as a signature file: at most kMaximumFileSize bytes, a JSON object with
/// "expires" in the form above and 1 to kMaximumSignatures well-formed signatures. nullopt
/// with `reason` (when given) set to what is wrong otherwise.
std::optional<File> parse(std::string_view text, std::string* reason) noexcept;

/// What became of a manifest's signature.
enum class State {
  valid,      // a trusted key signed this manifest, and the signature is in date
  missing,    // there is no signature file (or it could not be fetched)
  bad,        // the file is malformed, or a trusted key's signature does not verify
  expired,    // a trusted key signed it, but past the expiry and the skew allowance
  untrusted,  // well formed, but signed by none of the trusted keys
};

/// "valid", "missing", "bad", "expired", "untrusted".
std::string_view stateName(State state) noexcept;

struct Verdict {
  State state = State::missing;
  std::string reason;        // empty when valid; otherwise why, in words for a log line
  std::int64_t expires = 0;  // the file's expiry, when it could be read
};

/// Verifies `signatureFile` for exactly `manifest`'s bytes against `trusted` keys at Unix
/// time `now`. Valid when some signature by a trusted key verifies and now <= expires +
/// kClockSkewSeconds; an expired one says "the update manifest's signature expired on <time>".
Verdict verify(std::string_view manifest, std::string_view signatureFile,
               std::span<const PublicKey> trusted, std::int64_t now) noexcept;

/// A private Ed25519 key for signing.
class SigningKey {
 public:
  /// A new random key.
  static std::shared_ptr<SigningKey> generate(std::string* reason);
  /// The key in the PEM (PKCS#8) file at `path`; nullptr with `reason` otherwise.
  static std::shared_ptr<SigningKey> load(const std::filesystem::path& path, std::string* reason);
  /// Writes the key as PEM (PKCS#8) to a new file at `path`, readable only by its owner
  /// (mode 0600); refuses to replace an existing file.
  bool save(const std::filesystem::path& path, std::string* reason) const;

  PublicKey publicKey() const;
  /// The Ed25519 signature of `message`; all zero bytes, which no key verifies, should
  /// OpenSSL fail.
  Signature sign(std::string_view message) const;

  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

 private:
  struct Impl;
  explicit SigningKey(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

/// The signature file text for `manifest` expiring at `expires`, signed by each of `keys`.
std::string signFile(std::string_view manifest, std::int64_t expires,
                     std::span<const std::shared_ptr<SigningKey>> keys);

}  // namespace sparkler::ManifestSignature
