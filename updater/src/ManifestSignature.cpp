#include "sparkler/ManifestSignature.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <system_error>

#include "sparkler/CryptoLibrary.h"
#include "sparkler/FileDescriptor.h"
#include "sparkler/Files.h"
#include "sparkler/Manifest.h"

namespace sparkler::ManifestSignature {
namespace {

using nlohmann::json;

constexpr std::string_view kMessagePrefix = "sparkler-manifest-v1";
// A signature file is an object holding an array of objects: three levels.
constexpr std::size_t kMaximumDepth = 3;
// A PEM private key is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kMaximumKeyFileSize = 16 * 1024;

void setReason(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using Bio = std::unique_ptr<BIO, BioFree>;

// `text` decoded when it is the canonical padded base64 of exactly N bytes. Comparing with
// the re-encoding refuses every other spelling (stray characters, non-zero padding bits), so
// one key or signature has one text.
template <std::size_t N>
std::optional<std::array<unsigned char, N>> decodeExactly(std::string_view text) {
  constexpr std::size_t encodedSize = 4 * ((N + 2) / 3);
  if (text.size() != encodedSize) return std::nullopt;
  initializeCryptoLibrary();
  unsigned char decoded[3 * (encodedSize / 4)];
  if (EVP_DecodeBlock(decoded, reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size())) < static_cast<int>(N)) {
    return std::nullopt;
  }
  std::array<unsigned char, N> bytes;
  std::copy_n(decoded, N, bytes.begin());
  if (toBase64(bytes) != text) return std::nullopt;
  return bytes;
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

const std::string* stringMember(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

bool verifies(const PublicKey& key, const Signature& signature, std::string_view message) {
  Pkey pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  if (!pkey || !ctx) return false;
  if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

// Never asks for a pass phrase: an encrypted key file is refused rather than prompted for.
int noPassphrase(char*, int, int, void*) {
  return 0;
}

}  // namespace

std::string toBase64(std::span<const unsigned char> bytes) {
  initializeCryptoLibrary();
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(std::max(length, 0)));
  return text;
}

std::optional<PublicKey> publicKeyFromBase64(std::string_view text) noexcept {
  try {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return decodeExactly<32>(text);
  } catch (...) {
    return std::nullopt;
  }
}

std::string formatTime(std::int64_t seconds) {
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm fields{};
  if (gmtime_r(&time, &fields) == nullptr) return "(an unrepresentable time)";
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02dZ",
                static_cast<long long>(fields.tm_year) + 1900, fields.tm_mon + 1, fields.tm_mday,
                fields.tm_hour, fields.tm_min, fields.tm_sec);
  return text;
}

std::optional<std::int64_t> parseTime(std::string_view text) noexcept {
  // YYYY-MM-DDTHH:MM:SSZ: digits everywhere but the fixed separators.
  constexpr std::string_view pattern = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != pattern.size()) return std::nullopt;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return std::nullopt;
  }
  const auto number = [&](std::size_t at, std::size_t length) {
    int value = 0;
    for (std::size_t i = at; i < at + length; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  std::tm fields{};
  fields.tm_year = number(0, 4) - 1900;
  fields.tm_mon = number(5, 2) - 1;
  fields.tm_mday = number(8, 2);
  fields.tm_hour = number(11, 2);
  fields.tm_min = number(14, 2);
  fields.tm_sec = number(17, 2);
  if (fields.tm_mon > 11 || fields.tm_mday < 1 || fields.tm_hour > 23 || fields.tm_min > 59 ||
      fields.tm_sec > 59) {
    return std::nullopt;
  }
  const std::tm asked = fields;
  const std::time_t seconds = timegm(&fields);
  // timegm carries a day past the month's end into the next month; such a date is refused.
  if (fields.tm_mday != asked.tm_mday || fields.tm_mon != asked.tm_mon ||
      fields.tm_year != asked.tm_year) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(seconds);
}

std::string signedMessage(std::string_view manifest, std::int64_t expires) {
  std::string message;
  message.reserve(kMessagePrefix.size() + 1 + 8 + manifest.size());
  message.append(kMessagePrefix);
  message.push_back('\0');
  const auto bits = static_cast<std::uint64_t>(expires);
  for (int shift = 56; shift >= 0; shift -= 8) {
    message.push_back(static_cast<char>((bits >> shift) & 0xFF));
  }
  message.append(manifest);
  return message;
}

std::optional<File> parse(std::string_view text, std::string* reason) noexcept {
  try {
    if (text.empty()) {
      setReason(reason, "it is empty");
      return std::nullopt;
    }
    if (text.size() > kMaximumFileSize) {
      setReason(reason, "it is larger than " + std::to_string(kMaximumFileSize) + " bytes");
      return std::nullopt;
    }
    const auto document = Manifest::parseBounded(text, kMaximumDepth, reason);
    if (!document) return std::nullopt;
    const json& parsed = *document;
    if (!parsed.is_object()) {
      setReason(reason, "it is not a JSON object");
      return std::nullopt;
    }
    File file;
    const std::string* expires = stringMember(parsed, "expires");
    if (expires == nullptr) {
      setReason(reason, "it has no \"expires\" string");
      return std::nullopt;
    }
    const auto when = parseTime(*expires);
    if (!when) {
      setReason(reason, "its expiry \"" + Manifest::excerpt(*expires) +
                            "\" is not of the form YYYY-MM-DDTHH:MM:SSZ");
      return std::nullopt;
    }
    file.expires = *when;
    const auto list = parsed.find("signatures");
    if (list == parsed.end() || !list->is_array() || list->empty()) {
      setReason(reason, "it has no \"signatures\" list");
      return std::nullopt;
    }
    if (list->size() > kMaximumSignatures) {
      setReason(reason, "it has more than " + std::to_string(kMaximumSignatures) + " signatures");
      return std::nullopt;
    }
    for (const json& item : *list) {
      const std::string number = std::to_string(file.signatures.size() + 1);
      if (!item.is_object()) {
        setReason(reason, "its signature " + number + " is not an object");
        return std::nullopt;
      }
      const std::string* key = stringMember(item, "key");
      const auto publicKey = key == nullptr ? std::nullopt : decodeExactly<32>(*key);
      if (!publicKey) {
        setReason(reason, "its signature " + number + " has no \"key\" of 32 bytes in base64");
        return std::nullopt;
      }
      const std::string* value = stringMember(item, "signature");
      const auto signature = value == nullptr ? std::nullopt : decodeExactly<64>(*value);
      if (!signature) {
        setReason(reason,
                  "its signature " + number + " has no \"signature\" of 64 bytes in base64");
        return std::nullopt;
      }
      file.signatures.push_back({*publicKey, *signature});
    }
    return file;
  } catch (...) {
    setReason(reason, "it could not be read (out of memory)");
    return std::nullopt;
  }
}

std::string_view stateName(State state) noexcept {
  switch (state) {
    case State::valid:
      return "valid";
    case State::missing:
      return "missing";
    case State::bad:
      return "bad";
    case State::expired:
      return "expired";
    case State::untrusted:
      return "untrusted";
  }
  return "unknown";
}

Verdict verify(std::string_view manifest, std::string_view signatureFile,
               std::span<const PublicKey> trusted, std::int64_t now) noexcept {
  Verdict verdict;
  try {
    std::string why;
    const auto file = parse(signatureFile, &why);
    if (!file) {
      verdict.state = State::bad;
      verdict.reason = "the signature file is malformed: " + why;
      return verdict;
    }
    verdict.expires = file->expires;
    initializeCryptoLibrary();
    std::optional<std::string> message;
    bool signedByTrusted = false;
    bool verified = false;
    for (const auto& entry : file->signatures) {
      if (std::find(trusted.begin(), trusted.end(), entry.key) == trusted.end()) continue;
      signedByTrusted = true;
      if (!message) message = signedMessage(manifest, file->expires);
      if (verifies(entry.key, entry.signature, *message)) {
        verified = true;
        break;
      }
    }
    if (!signedByTrusted) {
      verdict.state = State::untrusted;
      verdict.reason = "the update manifest is signed by none of the trusted keys";
    } else if (!verified) {
      verdict.state = State::bad;
      verdict.reason = "the update manifest's signature does not match it";
    } else if (now > file->expires + kClockSkewSeconds) {
      verdict.state = State::expired;
      verdict.reason = "the update manifest's signature expired on " + formatTime(file->expires);
    } else {
      verdict.state = State::valid;
    }
    return verdict;
  } catch (...) {
    verdict.state = State::bad;
    verdict.reason = "the signature could not be checked (out of memory)";
    return verdict;
  }
}

struct SigningKey::Impl {
  Pkey key;
};

SigningKey::SigningKey(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
SigningKey::~SigningKey() = default;

std::shared_ptr<SigningKey> SigningKey::generate(std::string* reason) {
  initializeCryptoLibrary();
  Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
  if (!key) {
    setReason(reason, "no Ed25519 key could be made");
    return nullptr;
  }
  return std::shared_ptr<SigningKey>(new SigningKey(std::make_unique<Impl>(Impl{std::move(key)})));
}

std::shared_ptr<SigningKey> SigningKey::load(const std::filesystem::path& path,
                                             std::string* reason) {
  initializeCryptoLibrary();
  std::error_code error;
  auto text = Files::readFile(path.string(), kMaximumKeyFileSize, &error);
  if (!text) {
    // The reader's refusals, said in words about key files rather than as bare error codes.
    const std::string why =
        error == std::errc::invalid_argument ? " is not a regular file"
        : error == std::errc::too_many_symbolic_link_levels
            ? " is a symbolic link (give the file it leads to)"
        : error == std::errc::file_too_large
            ? " is larger than " + std::to_string(kMaximumKeyFileSize) + " bytes: not a key file"
            : " could not be read: " + error.message();
    setReason(reason, "the key file " + path.string() + why);
    return nullptr;
  }
  Bio bio(BIO_new_mem_buf(text->data(), static_cast<int>(text->size())));
  Pkey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr);
  OPENSSL_cleanse(text->data(), text->size());
  if (!key || EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) {
    setReason(reason,
              "the key file " + path.string() + " does not hold an unencrypted Ed25519 key");
    return nullptr;
  }
  return std::shared_ptr<SigningKey>(new SigningKey(std::make_unique<Impl>(Impl{std::move(key)})));
}

bool SigningKey::save(const std::filesystem::path& path, std::string* reason) const {
  const auto fail = [&](const std::string& what, int code) {
    setReason(reason, "the key file " + path.string() + " " + what + ": " +
                          std::generic_category().message(code));
    return false;
  };
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), impl_->key.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) != 1) {
    return fail("could not be written", ENOMEM);
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  // O_EXCL: an existing key, maybe the only copy of one in use, is never replaced.
  FileDescriptor fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return fail("could not be created", errno);
  int code = 0;
  if (::fchmod(fd.get(), 0600) != 0 ||
      !Files::writeAll(fd.get(), std::string_view(data, static_cast<std::size_t>(length))) ||
      ::fsync(fd.get()) != 0) {
    code = errno;
  }
  OPENSSL_cleanse(data, static_cast<std::size_t>(length));
  if (code != 0) {
    fd.reset();
    ::unlink(path.c_str());
    return fail("could not be written", code);
  }
  return true;
}

PublicKey SigningKey::publicKey() const {
  PublicKey key{};
  std::size_t length = key.size();
  EVP_PKEY_get_raw_public_key(impl_->key.get(), key.data(), &length);
  return key;
}

Signature SigningKey::sign(std::string_view message) const {
  Signature signature{};
  MdCtx ctx(EVP_MD_CTX_new());
  std::size_t length = signature.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, impl_->key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), signature.data(), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1) {
    // All zero bytes: a signature no key verifies.
    return Signature{};
  }
  return signature;
}

std::string signFile(std::string_view manifest, std::int64_t expires,
                     std::span<const std::shared_ptr<SigningKey>> keys) {
  const std::string message = signedMessage(manifest, expires);
  json signatures = json::array();
  for (const auto& key : keys) {
    signatures.push_back(
        {{"key", toBase64(key->publicKey())}, {"signature", toBase64(key->sign(message))}});
  }
  const json file = {{"expires", formatTime(expires)}, {"signatures", std::move(signatures)}};
  return file.dump(2) + "\n";
}

}  // namespace sparkler::ManifestSignature
