#include "tove/Sparkler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tove/Application.h"
#include "tove/Bundle.h"
#include "tove/Checksum.h"
#include "tove/Dispatch.h"
#include "tove/Folders.h"
#include "tove/MonotonicClock.h"
#include "tove/Timer.h"
#include "tove/URLLoader.h"

namespace tove {
namespace {

using nlohmann::json;

// The check's period, and the shortest wait after a scheduling step.
constexpr double kPeriod = 300.0;
constexpr double kMinimumDelay = 240.0;

struct CheckedEntry {
  std::string name;
  std::string hash;
  std::uint64_t size = 0;
  std::string path;
};

const json* member(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// "size" as an unsigned integer; anything that is not a whole non-negative number counts as
// 0 and so fails the size check.
std::uint64_t sizeOf(const json& entry) {
  const json* size = member(entry, "size");
  if (size == nullptr) return 0;
  if (size->is_number_unsigned()) return size->get<std::uint64_t>();
  if (size->is_number_integer())
    return static_cast<std::uint64_t>(std::max<std::int64_t>(size->get<std::int64_t>(), 0));
  if (size->is_number_float()) {
    double value = size->get<double>();
    if (std::isfinite(value) && value >= 0 && value <= 1e18 && std::floor(value) == value) {
      return static_cast<std::uint64_t>(value);
    }
  }
  return 0;
}

std::optional<std::string> nonEmptyString(const json& entry, const char* key) {
  const json* value = member(entry, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  const auto& text = value->get_ref<const std::string&>();
  if (text.empty()) return std::nullopt;
  return text;
}

// The checks shared by cached and download, in their fixed order; nullopt at the first that
// fails, before any disk or network access.
std::optional<CheckedEntry> checkEntry(const json& entry,
                                       const std::shared_ptr<const std::string>& folder) {
  if (!entry.is_object() || entry.empty()) return std::nullopt;
  if (!folder || folder->empty()) return std::nullopt;
  CheckedEntry checked;
  auto name = nonEmptyString(entry, "name");
  // A name with a separator or a dot name would put the file outside the cache folder.
  if (!name || !Sparkler::isPlainFileName(*name)) return std::nullopt;
  checked.name = std::move(*name);
  auto hash = nonEmptyString(entry, "hash");
  if (!hash) return std::nullopt;
  checked.hash = std::move(*hash);
  checked.size = sizeOf(entry);
  if (checked.size < 1 || checked.size > Sparkler::kMaximumSize) return std::nullopt;
  checked.path = *folder + "/" + checked.name;
  if (checked.path.empty()) return std::nullopt;
  return checked;
}

// The newest entry must be an object whose known keys have their documented types;
// anything else is not a manifest this updater can act on.
bool wellFormed(const json& newest) {
  if (!newest.is_object()) return false;
  for (const char* key : {"version", "name", "hash"}) {
    const json* value = member(newest, key);
    if (value != nullptr && !value->is_string()) return false;
  }
  const json* size = member(newest, "size");
  return size == nullptr || size->is_number();
}

std::optional<Version> versionOf(const json& entry) {
  if (!entry.is_object() || entry.empty()) return std::nullopt;
  const json* version = member(entry, "version");
  if (version == nullptr || !version->is_string()) return std::nullopt;
  return Version::versionWithString(version->get_ref<const std::string&>());
}

std::string percentEncoded(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

// The manifest URL with its last path component (and any query or fragment) replaced by
// `name`; nullopt when the URL has no scheme and host.
std::optional<std::string> downloadURL(const std::string& manifest, std::string_view name) {
  auto scheme = manifest.find("://");
  if (scheme == std::string::npos || scheme == 0) return std::nullopt;
  auto hostStart = scheme + 3;
  auto authorityEnd = manifest.find_first_of("/?#", hostStart);
  if (authorityEnd == hostStart) return std::nullopt;
  std::string base;
  if (authorityEnd == std::string::npos || manifest[authorityEnd] != '/') {
    base = manifest.substr(0, authorityEnd) + "/";
  } else {
    std::string path = manifest.substr(0, manifest.find_first_of("?#", authorityEnd));
    if (path.size() > authorityEnd + 1 && path.back() == '/') path.pop_back();
    base = path.substr(0, path.rfind('/') + 1);
  }
  return base + percentEncoded(name);
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// The file at `path` is either the previous one or the complete new one, also after a crash:
// the data go to a new file in the same folder, reach the disk, and are renamed over it.
bool writeAtomically(const std::string& folder, const std::string& path, std::string_view data) {
  std::string temp = folder + "/.sparkler-" + Folders::newUUIDString() + ".part";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = writeAll(fd, data) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

// Up to `limit` bytes of the file; a short or failed read gives fewer bytes.
std::string readUpTo(const std::string& path, std::size_t limit) {
  std::string data;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  data.resize(limit);
  std::size_t got = 0;
  while (got < limit) {
    ssize_t n = ::read(fd, data.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  data.resize(got);
  return data;
}

}  // namespace

std::shared_ptr<Sparkler> Sparkler::sparkler() {
  // Never destroyed: check jobs may still run while the process exits.
  static auto* shared = new std::shared_ptr<Sparkler>(new Sparkler());
  return *shared;
}

std::shared_ptr<Sparkler> Sparkler::initialize(std::optional<std::string> url) {
  return sparkler()->configure(std::move(url));
}

std::shared_ptr<Sparkler> Sparkler::init() {
  sparkler();
  return nullptr;
}

std::shared_ptr<Sparkler> Sparkler::configure(std::optional<std::string> url) {
  if (!url || url->empty()) return nullptr;
  // The folder is in place before the manifest starts the first check job, which reads it.
  if (auto path = cacheFolderPath()) {
    std::error_code error;
    std::filesystem::create_directories(*path, error);
    setFolder(std::make_shared<const std::string>(std::move(*path)));
  }
  setManifest(std::move(url));
  return shared_from_this();
}

void Sparkler::setManifest(std::optional<std::string> url) {
  if (!url || url->empty()) return;
  {
    std::lock_guard lock(mutex_);
    if (manifest_) return;
    manifest_ = std::make_shared<const std::string>(std::move(*url));
  }
  check();
}

void Sparkler::check() {
  dispatch::async(dispatch::Priority::Low, [self = shared_from_this()] {
    // A monotonic start time: a wall clock set back would hold the next check for as long.
    double start = MonotonicClock::now();
    self->setUpdateAvailable(self->coreCheck());
    dispatch::asyncMain([self, start] { self->schedule(start); });
  });
}

void Sparkler::schedule(double start) {
  double delay = std::max(start - MonotonicClock::now() + kPeriod, kMinimumDelay);
  Timer::scheduledTimer(delay, shared_from_this(), &Sparkler::check);
}

bool Sparkler::coreCheck() {
  auto url = manifest();
  if (!url) return false;
  auto body = URLLoader::contentsOfURL(*url, {kMaximumManifestSize});
  if (!body || body->empty()) return false;
  json parsed = json::parse(*body, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_array() || parsed.empty()) return false;
  if (!wellFormed(parsed.back())) return false;
  auto list = std::make_shared<const json>(std::move(parsed));
  setUpdates(list);

  auto current = currentVersion();
  if (!current) return false;
  const json& newest = list->back();
  auto latest = versionOf(newest);
  if (!latest) return false;
  if (current->isEqualToOrBetterThan(latest)) return false;
  return cached(newest).has_value() || download(newest).has_value();
}

std::optional<Version> Sparkler::currentVersion() const {
  return Application::version();
}

std::optional<Version> Sparkler::latestVersion() const {
  auto list = updates();
  if (!list || !list->is_array() || list->empty()) return std::nullopt;
  return versionOf(list->back());
}

std::optional<std::string> Sparkler::cached(const nlohmann::json& entry) {
  auto checked = checkEntry(entry, folder());
  if (!checked) return std::nullopt;
  struct stat info {};
  if (::stat(checked->path.c_str(), &info) != 0) return std::nullopt;
  // Only a regular file can be an image; anything else is not ours to remove.
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(info.st_size) != checked->size) {
    ::unlink(checked->path.c_str());
    return std::nullopt;
  }
  // One byte more than expected shows a file that grew since it was measured.
  std::string data = readUpTo(checked->path, checked->size + 1);
  if (data.size() != checked->size) {
    ::unlink(checked->path.c_str());
    return std::nullopt;
  }
  auto digest = Checksum::MD5String(data);
  if (!digest || *digest != checked->hash) {
    ::unlink(checked->path.c_str());
    return std::nullopt;
  }
  return data;
}

std::optional<std::string> Sparkler::download(const nlohmann::json& entry) {
  auto dir = folder();
  auto checked = checkEntry(entry, dir);
  if (!checked) return std::nullopt;
  auto url = manifest();
  if (!url) return std::nullopt;
  auto target = downloadURL(*url, checked->name);
  if (!target) return std::nullopt;
  auto body = URLLoader::contentsOfURL(*target, {static_cast<std::size_t>(checked->size)});
  if (!body || body->size() != checked->size) return std::nullopt;
  auto digest = Checksum::MD5String(*body);
  if (!digest || *digest != checked->hash) return std::nullopt;
  if (!writeAtomically(*dir, checked->path, *body)) return std::nullopt;
  return body;
}

std::optional<std::string> Sparkler::cachedPath(std::string_view name) const {
  if (!isPlainFileName(name)) return std::nullopt;
  auto dir = folder();
  if (!dir || dir->empty()) return std::nullopt;
  std::string path = *dir + "/" + std::string(name);
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return std::nullopt;
  return path;
}

std::shared_ptr<const std::string> Sparkler::manifest() const {
  std::lock_guard lock(mutex_);
  return manifest_;
}

std::shared_ptr<const nlohmann::json> Sparkler::updates() const {
  std::lock_guard lock(mutex_);
  return updates_;
}

void Sparkler::setUpdates(std::shared_ptr<const nlohmann::json> updates) {
  std::lock_guard lock(mutex_);
  updates_.swap(updates);
}

std::shared_ptr<const std::string> Sparkler::folder() const {
  std::lock_guard lock(mutex_);
  return folder_;
}

void Sparkler::setFolder(std::shared_ptr<const std::string> folder) {
  std::lock_guard lock(mutex_);
  folder_.swap(folder);
}

std::optional<std::string> Sparkler::cacheFolderPath() {
  auto identifier = Bundle::mainBundle()->bundleIdentifier();
  // Without an identifier of its own, an app would share its cache with every other one.
  if (!identifier || !isPlainFileName(*identifier)) return std::nullopt;
  return (Folders::userData() / *identifier / "updates" / "software").string();
}

bool Sparkler::isPlainFileName(std::string_view name) noexcept {
  return !name.empty() && name != "." && name != ".." && name.size() <= 255 &&
         name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace tove
