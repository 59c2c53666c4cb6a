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

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <string>

#include "Commands.h"
#include "sparkler/Bundle.h"
#include "sparkler/Checksum.h"
#include "sparkler/Files.h"
#include "sparkler/Folders.h"
#include "sparkler/Manifest.h"
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
constexpr char kUsage[] = "usage: sparkler publish --app PATH/NAME.app [--version V] --out DIR";

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
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    std::optional<std::string>* slot = option == "--app"       ? &app
                                       : option == "--version" ? &versionText
                                       : option == "--out"     ? &out
                                                               : nullptr;
    if (slot == nullptr) return fail("unknown argument \"" + option + "\"; " + kUsage);
    if (i + 1 >= argc || argv[i + 1][0] == '\0') return fail(option + " needs a value; " + kUsage);
    *slot = argv[++i];
  }
  if (!app || !out) return fail(kUsage);

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
  auto manifest = nlohmann::ordered_json::array();
  if (fs::exists(manifestPath, error)) {
    // A manifest larger than the updater reads would be of no use to anyone.
    std::error_code unread;
    const auto text =
        sparkler::Files::readFile(manifestPath.string(), sparkler::Manifest::kMaximumSize, &unread);
    if (!text) return fail("cannot read " + manifestPath.string() + ": " + unread.message());
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

  fs::rename(temporaryImage, image, error);
  if (error) return fail("cannot move the image to " + image.string() + ": " + error.message());
  imageLeftover.release();
  Leftover publishedImage(image);

  nlohmann::ordered_json entry;
  entry["version"] = *versionText;
  entry["name"] = name;
  entry["hash"] = *hash;
  entry["size"] = bytes->size();
  manifest.push_back(entry);
  if (const auto written =
          sparkler::Files::writeAtomically(manifestPath.string(), manifest.dump(2) + "\n", 0644)) {
    return fail("cannot write " + manifestPath.string() + ": " + written.message());
  }
  publishedImage.release();
  std::fprintf(stdout, "published %s (%zu bytes, MD5 %s) in %s\n", name.c_str(), bytes->size(),
               hash->c_str(), manifestPath.c_str());
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
