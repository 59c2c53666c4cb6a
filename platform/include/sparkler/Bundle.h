#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sparkler {

/// A bundle folder laid out as `Name.app/Contents/{Info.plist, MacOS/<executable>, Resources/}`.
/// Immutable once made; the main bundle is made anew on every call, so a changed
/// Info.plist is seen at once.
class Bundle {
 public:
  /// String-valued keys of the information dictionary (other value types are left out).
  using InfoDictionary = std::map<std::string, std::string, std::less<>>;

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
  /// or does not hold a dictionary.
  static std::optional<InfoDictionary> readInfoDictionary(const std::filesystem::path& path);

  /// The bundle folder, for example /opt/Tove.app.
  const std::filesystem::path& bundlePath() const noexcept { return path_; }

  /// nullopt when there is no Info.plist or it could not be read.
  const std::optional<InfoDictionary>& infoDictionary() const noexcept { return info_; }

  /// The string value of `key` in the information dictionary; nullopt when absent.
  std::optional<std::string> objectForInfoDictionaryKey(std::string_view key) const;

  /// "CFBundleIdentifier"; nullopt when absent.
  std::optional<std::string> bundleIdentifier() const;

  /// Contents/Resources[/subdirectory]/name[.extension] when that file exists, else nullopt.
  std::optional<std::filesystem::path> URLForResource(std::string_view name,
                                                      std::string_view extension,
                                                      std::string_view subdirectory = {}) const;

  Bundle(std::filesystem::path path, std::optional<InfoDictionary> info)
      : path_(std::move(path)), info_(std::move(info)) {}

 private:
  std::filesystem::path path_;
  std::optional<InfoDictionary> info_;
};

}  // namespace sparkler
