#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sparkler {

/// A bundle folder laid out as `Name.app/Contents/{Info.plist, MacOS/<executable>, Resources/}`.
/// Immutable once made; the main bundle is made anew on every call, so a changed
/// Info.plist is seen at once.
class Bundle {
 public:
  /// String-valued keys of the information dictionary (other value types are left out).
  using InfoDictionary = std::map<std::string, std::string, std::less<>>;
  /// Every other key of the information dictionary: an array of at most kMaximumArrayCount
  /// strings, each at most kMaximumArrayStringBytes long, is kept whole; any other value (a
  /// longer array, one with other elements, a number, a dictionary) is kept as an empty list,
  /// so that a caller still sees the key is there.
  using InfoArrays = std::map<std::string, std::vector<std::string>, std::less<>>;
  static constexpr std::size_t kMaximumArrayCount = 64;
  static constexpr std::size_t kMaximumArrayStringBytes = 1024;

  /// The bundle that holds the running executable (found from /proc/self/exe), or the bundle
  /// set by overrideMainBundlePath. An executable outside a bundle gives a bundle whose path
  /// is the executable's folder and which has no information dictionary. Never null.
  static std::shared_ptr<const Bundle> mainBundle();

  /// Points mainBundle at another bundle folder (tests, the maker's tool); nullopt undoes it.
  static void overrideMainBundlePath(std::optional<std::filesystem::path> path);

  /// The bundle at `path`; its information dictionary is absent when Contents/Info.plist is
  /// missing or unreadable (XML and binary plists are read).
  static std::shared_ptr<const Bundle> bundleWithPath(const std::filesystem::path& path);

  /// The string-valued keys of the Info.plist file at `path` (XML or binary); nullopt when it
  /// is not a regular file (a symbolic link is not followed), is empty or larger than 256 KiB,
  /// or does not hold a dictionary. `arrays`, when given, receives the other keys.
  static std::optional<InfoDictionary> readInfoDictionary(const std::filesystem::path& path,
                                                          InfoArrays* arrays = nullptr);

  /// The bundle folder, for example /opt/Tove.app.
  const std::filesystem::path& bundlePath() const noexcept { return path_; }

  /// nullopt when there is no Info.plist or it could not be read.
  const std::optional<InfoDictionary>& infoDictionary() const noexcept { return info_; }

  /// The string value of `key` in the information dictionary; nullopt when absent.
  std::optional<std::string> objectForInfoDictionaryKey(std::string_view key) const;

  /// The array of strings under `key` (see InfoArrays: empty when the value is something
  /// else); nullopt when absent or a string.
  std::optional<std::vector<std::string>> arrayForInfoDictionaryKey(std::string_view key) const;

  /// "CFBundleIdentifier"; nullopt when absent.
  std::optional<std::string> bundleIdentifier() const;

  /// Contents/Resources[/subdirectory]/name[.extension] when that file exists, else nullopt.
  std::optional<std::filesystem::path> URLForResource(std::string_view name,
                                                      std::string_view extension,
                                                      std::string_view subdirectory = {}) const;

  Bundle(std::filesystem::path path, std::optional<InfoDictionary> info, InfoArrays arrays = {})
      : path_(std::move(path)), info_(std::move(info)), arrays_(std::move(arrays)) {}

 private:
  std::filesystem::path path_;
  std::optional<InfoDictionary> info_;
  InfoArrays arrays_;
};

}  // namespace sparkler
