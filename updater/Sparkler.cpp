#include "tove/Sparkler.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tove/Application.h"
#include "tove/Bundle.h"
#include "tove/CryptoLibrary.h"
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

// MD5 fed piece by piece, so that an image is verified while it streams through a small
// buffer instead of being held whole in memory.
class MD5Stream {
 public:
  MD5Stream() : context_((initializeCryptoLibrary(), EVP_MD_CTX_new())) {
    ok_ = context_ != nullptr && EVP_DigestInit_ex(context_, EVP_md5(), nullptr) == 1;
  }
  ~MD5Stream() { EVP_MD_CTX_free(context_); }
  MD5Stream(const MD5Stream&) = delete;
  MD5Stream& operator=(const MD5Stream&) = delete;

  void add(std::string_view piece) {
    ok_ = ok_ && EVP_DigestUpdate(context_, piece.data(), piece.size()) == 1;
  }

  // 32 lowercase hexadecimal digits, as Checksum::MD5String writes them; nullopt on failure.
  std::optional<std::string> hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok_ || EVP_DigestFinal_ex(context_, digest, &length) != 1 || length != 16) {
      return std::nullopt;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
      text += kDigits[digest[i] >> 4];
      text += kDigits[digest[i] & 0xF];
    }
    return text;
  }

 private:
  EVP_MD_CTX* context_;
  bool ok_ = false;
};

// A hidden file in the cache folder that becomes `path` only when commit() succeeds; removed
// otherwise, so a failed download leaves the folder as it was.
class PendingFile {
 public:
  PendingFile(const std::string& folder, const std::string& path)
      : folder_(folder),
        path_(path),
        temp_(folder + "/.sparkler-" + Folders::newUUIDString() + ".part") {
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  }
  ~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlink(temp_.c_str());
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  bool ok() const { return fd_ >= 0; }
  bool write(std::string_view piece) { return fd_ >= 0 && writeAll(fd_, piece); }

  // The data reach the disk before the rename, so that after a crash the path holds either
  // the previous file or the complete new one.
  bool commit() {
    if (fd_ < 0 || ::fsync(fd_) != 0) return false;
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 || ::rename(temp_.c_str(), path_.c_str()) != 0) return false;
    committed_ = true;
    int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  }

 private:
  std::string folder_, path_, temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// Removes what downloads cut short by a killed process left in the cache folder: hidden
// ".sparkler-*.part" files untouched for an hour. A live download writes at least once per
// stall time-out and ends within the total time-out, so its file is never that old, even
// when another copy of the application shares the folder.
void removeAbandonedDownloads(const std::string& folder) {
  namespace fs = std::filesystem;
  constexpr auto kAbandonedAfter = std::chrono::hours(1);
  std::error_code error;
  const auto now = fs::file_time_type::clock::now();
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.starts_with(".sparkler-") || !name.ends_with(".part")) continue;
    std::error_code itemError;
    if (!it->is_regular_file(itemError) || it->is_symlink(itemError)) continue;
    const auto modified = it->last_write_time(itemError);
    if (!itemError && now - modified > kAbandonedAfter) fs::remove(it->path(), itemError);
  }
}

// Streams the file at `path` through MD5; whether exactly `size` bytes were read and their
// digest is `hash`.
bool fileMatches(const std::string& path, std::uint64_t size, const std::string& hash) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  MD5Stream md5;
  std::string buffer(std::size_t{1} << 20, '\0');
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<std::uint64_t>(n);
    // A file that grew since it was measured fails without being read to its end.
    if (total > size) break;
    md5.add(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  ::close(fd);
  if (total != size) return false;
  auto digest = md5.hex();
  return digest && *digest == hash;
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
  if (!manifest()) cleanUpInterruptedInstallations();
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
    if (auto folder = self->folder()) removeAbandonedDownloads(*folder);
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
  return cached(newest) || download(newest);
}

std::optional<Version> Sparkler::currentVersion() const {
  return Application::version();
}

std::optional<Version> Sparkler::latestVersion() const {
  auto list = updates();
  if (!list || !list->is_array() || list->empty()) return std::nullopt;
  return versionOf(list->back());
}

bool Sparkler::cached(const nlohmann::json& entry) {
  auto checked = checkEntry(entry, folder());
  if (!checked) return false;
  struct stat info {};
  if (::stat(checked->path.c_str(), &info) != 0) return false;
  // Only a regular file can be an image; anything else is not ours to remove.
  if (!S_ISREG(info.st_mode)) return false;
  if (static_cast<std::uint64_t>(info.st_size) != checked->size ||
      !fileMatches(checked->path, checked->size, checked->hash)) {
    ::unlink(checked->path.c_str());
    return false;
  }
  return true;
}

bool Sparkler::download(const nlohmann::json& entry) {
  auto dir = folder();
  auto checked = checkEntry(entry, dir);
  if (!checked) return false;
  auto url = manifest();
  if (!url) return false;
  auto target = downloadURL(*url, checked->name);
  if (!target) return false;
  PendingFile file(*dir, checked->path);
  if (!file.ok()) return false;
  MD5Stream md5;
  std::uint64_t received = 0;
  bool fetched = URLLoader::streamURL(*target, {static_cast<std::size_t>(checked->size)},
                                      [&](std::string_view piece) {
                                        received += piece.size();
                                        md5.add(piece);
                                        return file.write(piece);
                                      });
  if (!fetched || received != checked->size) return false;
  auto digest = md5.hex();
  if (!digest || *digest != checked->hash) return false;
  return file.commit();
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
