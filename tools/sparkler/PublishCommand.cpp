// `sparkler publish --app PATH/NAME.app [--version V] --out DIR`: builds the update's disk
// image DIR/NAME-V.dmg (a squashfs image with the bundle as "NAME.app" at its root) and appends
// its entry to the manifest DIR/_.json, oldest first. NAME is the bundle's CFBundleName, the
// name the updater looks for in the image, whatever the bundle's folder is called. V is the
// bundle's own version, the one its Info.plist gives: a client that installed an update of
// another version would be offered it again after every relaunch.
//
// The image is written under a temporary name and renamed into place before the manifest is
// replaced (also through a temporary file and a rename), so the manifest never names a
// missing or half-written image, and a failed run leaves the manifest as it was.
//
// With --key the new manifest is signed before anything is written, and its signature file
// DIR/_.json.sig is replaced right after the manifest: clients fetch the manifest first and
// its signature second, so this order leaves the smallest window in which a client can read
// a new manifest with an old signature or the reverse (which it refuses, and reads the
// consistent pair at its next check).

#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>

#include "Commands.h"
#include "Signing.h"
#include "sparkler/Bundle.h"
#include "sparkler/Checksum.h"
#include "sparkler/CryptoLibrary.h"
#include "sparkler/Files.h"
#include "sparkler/Folders.h"
#include "sparkler/Hex.h"
#include "sparkler/Manifest.h"
#include "sparkler/ManifestSignature.h"
#include "sparkler/QuickTask.h"
#include "sparkler/SearchPath.h"
#include "sparkler/Version.h"

namespace fs = std::filesystem;

namespace {

constexpr char kManifestName[] = "_.json";
// The updater refuses images outside 1 to 50,000,000 bytes.
constexpr std::uintmax_t kLargestImage = 50'000'000;
// CFBundleName names two files: the bundle inside the image and, with the version, the image.
// Image names are held to 63 bytes, which the manifest's schema takes whatever characters they
// use (it can only count characters, and the updater takes 255 bytes).
constexpr std::size_t kLongestName = 48;
constexpr std::size_t kLongestImageName = 63;
constexpr char kUsage[] =
    "usage: sparkler publish --app PATH/NAME.app [--version V] --out DIR [--key KEYFILE... "
    "[--expires-in DAYS | --expires-at YYYY-MM-DDTHH:MM:SSZ]]";

int fail(const std::string& reason) {
  std::fprintf(stderr, "sparkler publish: %s\n", reason.c_str());
  return 1;
}

// Whether `name` can stand as one file name: not empty, ".", ".." nor longer than kLongestName
// bytes, and free of "/" and control characters.
bool isUsableName(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.size() > kLongestName) return false;
  for (const unsigned char c : name) {
    if (c == '/' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// The SHA-256 digest of `bytes` in 64 lowercase hex digits; nullopt when it cannot be made.
std::optional<std::string> sha256(std::string_view bytes) {
  sparkler::initializeCryptoLibrary();
  unsigned char digest[32];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1 ||
      length != sizeof digest) {
    return std::nullopt;
  }
  return sparkler::Hex::encode(digest, sizeof digest);
}

// Removes what it names when it goes out of scope, unless released.
class Leftover {
 public:
  explicit Leftover(fs::path path) : path_(std::move(path)) {}
  Leftover(const Leftover&) = delete;
  Leftover& operator=(const Leftover&) = delete;
  ~Leftover() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  void release() { path_.clear(); }

 private:
  fs::path path_;
};

}  // namespace

namespace {

int publish(int argc, char** argv) {
  std::optional<std::string> app, versionText, out;
  SigningOptions signing;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    std::optional<std::string>* slot = option == "--app"       ? &app
                                       : option == "--version" ? &versionText
                                       : option == "--out"     ? &out
                                                               : nullptr;
    if (slot == nullptr && !SigningOptions::accepts(option)) {
      return fail("unknown argument \"" + option + "\"; " + kUsage);
    }
    if (i + 1 >= argc || argv[i + 1][0] == '\0') return fail(option + " needs a value; " + kUsage);
    const std::string value = argv[++i];
    if (slot != nullptr) {
      *slot = value;
    } else {
      signing.take(option, value);
    }
  }
  if (!app || !out) return fail(kUsage);
  if (signing.keyFiles.empty() && (signing.expiresIn || signing.expiresAt)) {
    return fail("an expiry is given but no --key to sign with");
  }
  // Keys are loaded before anything is built, so that a wrong key file costs nothing.
  std::optional<ManifestSigner> signer;
  if (!signing.keyFiles.empty()) {
    std::string reason;
    signer = ManifestSigner::prepare(signing, std::time(nullptr), &reason);
    if (!signer) return fail(reason);
  }

  std::error_code error;
  if (!fs::is_directory(fs::path(*app) / "Contents", error)) {
    return fail(*app + " is not an application bundle (it has no Contents folder)");
  }
  const auto bundle = sparkler::Bundle::bundleWithPath(fs::path(*app));
  const auto bundleVersionText = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
  const auto bundleVersion =
      bundleVersionText ? sparkler::Version::versionWithString(*bundleVersionText) : std::nullopt;
  if (!bundleVersion) {
    return fail(*app + " has no version: its Contents/Info.plist needs a " +
                "CFBundleShortVersionString such as 1.2.3");
  }
  if (!versionText) versionText = *bundleVersionText;
  static const std::regex versionGrammar("[0-9]+(\\.[0-9]+){0,2}");
  const auto version = sparkler::Version::versionWithString(*versionText);
  if (!std::regex_match(*versionText, versionGrammar) || !version) {
    return fail("\"" + *versionText + "\" is not a version (such as 1.2.3)");
  }
  if (!version->isEqual(bundleVersion)) {
    return fail(*app + " is version " + bundleVersion->description() + " (its " +
                "CFBundleShortVersionString), not " + *versionText +
                ": clients would install it and be offered it again");
  }

  const auto bundleName = bundle->objectForInfoDictionaryKey("CFBundleName");
  if (!bundleName || !isUsableName(*bundleName)) {
    return fail(*app + " has no usable name: its Contents/Info.plist needs a CFBundleName " +
                "that is a plain file name (no \"/\" or control characters, at most " +
                std::to_string(kLongestName) + " bytes)");
  }
  const std::string name = *bundleName + "-" + *versionText + ".dmg";
  if (name.size() > kLongestImageName) {
    return fail("the image's name \"" + name + "\" is longer than " +
                std::to_string(kLongestImageName) +
                " bytes: shorten the CFBundleName or the version");
  }

  const fs::path folder(*out);
  fs::create_directories(folder, error);
  if (error || !fs::is_directory(folder)) {
    return fail("cannot make the folder " + folder.string() + ": " + error.message());
  }
  const fs::path manifestPath = folder / kManifestName;
  const fs::path signaturePath =
      folder / (kManifestName + std::string(sparkler::ManifestSignature::kFileSuffix));
  // A new manifest beside the old one's signature would fail every check of a bundle that
  // has keys.
  if (!signer && fs::symlink_status(signaturePath, error).type() != fs::file_type::not_found) {
    return fail(signaturePath.string() + " exists: sign the new manifest with --key, or remove " +
                "the signature to publish unsigned");
  }
  auto manifest = nlohmann::ordered_json::array();
  std::optional<std::string> previous;
  if (fs::exists(manifestPath, error)) {
    // A manifest larger than the updater reads would be of no use to anyone.
    std::error_code unread;
    const auto text =
        sparkler::Files::readFile(manifestPath.string(), sparkler::Manifest::kMaximumSize, &unread);
    if (!text) return fail("cannot read " + manifestPath.string() + ": " + unread.message());
    previous = *text;
    manifest = nlohmann::ordered_json::parse(*text, nullptr, false);
    if (!manifest.is_array()) return fail(manifestPath.string() + " is not a list of updates");
  }
  for (const auto& entry : manifest) {
    const auto listed =
        entry.is_object() && entry.contains("version") && entry["version"].is_string()
            ? sparkler::Version::versionWithString(entry["version"].get<std::string>())
            : std::nullopt;
    if (!listed) return fail(manifestPath.string() + " holds an entry without a version");
    if (listed->isEqualToOrBetterThan(version)) {
      return fail("version " + *versionText + " is not newer than " + listed->description() +
                  ", already in " + manifestPath.string());
    }
  }

  const auto mksquashfs = sparkler::SearchPath::find("mksquashfs", "/usr/sbin:/usr/bin:/sbin:/bin");
  if (!mksquashfs) return fail("mksquashfs is needed (Debian package squashfs-tools)");
  const fs::path image = folder / name;
  const fs::path temporaryImage = folder / ("." + name + "." + sparkler::Folders::newUUIDString());
  Leftover imageLeftover(temporaryImage);

  // The image's root holds the bundle as "NAME.app", whatever the bundle's folder is called;
  // a bundle named otherwise is staged under that name first.
  const std::string bundleFolder = *bundleName + ".app";
  fs::path source = fs::absolute(*app).lexically_normal();
  if (source.filename().empty()) source = source.parent_path();
  std::optional<Leftover> stagingLeftover;
  if (source.filename() != bundleFolder) {
    const fs::path staging = folder / (".staging." + sparkler::Folders::newUUIDString());
    stagingLeftover.emplace(staging);
    fs::create_directory(staging, error);
    if (!error) {
      fs::copy(source, staging / bundleFolder,
               fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
    }
    if (error) return fail("cannot stage " + source.string() + ": " + error.message());
    source = staging / bundleFolder;
  }
  std::fprintf(stdout, "building %s from %s\n", image.c_str(), source.c_str());
  std::fflush(stdout);
  if (!sparkler::QuickTask::executeTask(
          *mksquashfs, sparkler::Arguments{{source.string(), temporaryImage.string(), "-noappend",
                                            "-keep-as-directory", "-all-root", "-no-xattrs",
                                            "-no-progress", "-quiet"}})) {
    return fail("mksquashfs could not build the image from " + source.string());
  }

  const auto built = fs::file_size(temporaryImage, error);
  if (!error && built > kLargestImage) {
    return fail("the image is " + std::to_string(built) +
                " bytes; the updater takes at most 50,000,000");
  }
  const auto bytes = sparkler::Files::readFile(temporaryImage.string(), kLargestImage);
  if (!bytes || bytes->empty()) return fail("cannot read the image just built");
  const auto hash = sparkler::Checksum::MD5String(*bytes);
  if (!hash) return fail("cannot compute the image's MD5 digest");
  const auto sha = sha256(*bytes);
  if (!sha) return fail("cannot compute the image's SHA-256 digest");

  fs::rename(temporaryImage, image, error);
  if (error) return fail("cannot move the image to " + image.string() + ": " + error.message());
  imageLeftover.release();
  Leftover publishedImage(image);

  nlohmann::ordered_json entry;
  entry["version"] = *versionText;
  entry["name"] = name;
  entry["hash"] = *hash;
  entry["sha256"] = *sha;
  entry["size"] = bytes->size();
  manifest.push_back(entry);
  const std::string text = manifest.dump(2) + "\n";
  if (text.size() > sparkler::Manifest::kMaximumSize) {
    return fail("the new manifest would be larger than the " +
                std::to_string(sparkler::Manifest::kMaximumSize) + " bytes the updater reads");
  }
  std::optional<std::string> signature;
  if (signer) {
    std::string reason;
    signature = signer->sign(text, &reason);
    if (!signature) return fail(reason);
  }
  if (const auto written = sparkler::Files::writeAtomically(manifestPath.string(), text, 0644)) {
    return fail("cannot write " + manifestPath.string() + ": " + written.message());
  }
  if (signature) {
    if (const auto written =
            sparkler::Files::writeAtomically(signaturePath.string(), *signature, 0644)) {
      // The old signature is still in place: so must the old manifest be.
      if (previous) {
        sparkler::Files::writeAtomically(manifestPath.string(), *previous, 0644);
      } else {
        fs::remove(manifestPath, error);
      }
      return fail("cannot write " + signaturePath.string() + ": " + written.message());
    }
  }
  publishedImage.release();
  std::fprintf(stdout, "published %s (%zu bytes, MD5 %s, SHA-256 %s) in %s\n", name.c_str(),
               bytes->size(), hash->c_str(), sha->c_str(), manifestPath.c_str());
  if (signer) {
    std::fprintf(stdout, "signed %s: %s expires %s\n", manifestPath.c_str(), signaturePath.c_str(),
                 signer->describe().c_str());
  }
  return 0;
}

}  // namespace

int publishCommand(int argc, char** argv) {
  try {
    return publish(argc, argv);
  } catch (const std::exception& exception) {
    return fail(exception.what());
  }
}
