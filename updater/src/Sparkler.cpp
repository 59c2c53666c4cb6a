#include "sparkler/Sparkler.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "sparkler/Application.h"
#include "sparkler/Bundle.h"
#include "sparkler/CryptoLibrary.h"
#include "sparkler/Dispatch.h"
#include "sparkler/Folders.h"
#include "sparkler/Log.h"
#include "sparkler/Manifest.h"
#include "sparkler/MonotonicClock.h"
#include "sparkler/Timer.h"
#include "sparkler/URLLoader.h"

namespace sparkler {
namespace {

using nlohmann::json;

// The check's period, and the shortest wait after a scheduling step.
constexpr double kPeriod = 300.0;
constexpr double kMinimumDelay = 240.0;

static_assert(Sparkler::kMaximumSize == Manifest::kMaximumImageSize);
static_assert(Sparkler::kMaximumManifestSize == Manifest::kMaximumSize);

std::string errorText(int error) {
  return std::strerror(error);
}

// The checks shared by cached and download, before any disk or network access; the entry's
// fields and its path in the cache folder.
struct CheckedEntry {
  Manifest::Entry entry;
  std::string path;
};

std::optional<CheckedEntry> checkEntry(const json& entry,
                                       const std::shared_ptr<const std::string>& folder,
                                       std::string& reason) {
  auto checked = Manifest::checkedEntry(entry, &reason);
  if (!checked) return std::nullopt;
  if (!folder || folder->empty()) {
    reason = "no cache folder is set";
    return std::nullopt;
  }
  std::string path = *folder + "/" + checked->name;
  return CheckedEntry{std::move(*checked), std::move(path)};
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

// A file in the partial folder that becomes `path` only when commit() succeeds; removed
// otherwise, so a failed download leaves the cache folder as it was. It stays locked (flock)
// for as long as its owner lives, which tells every other check that it is in use: the
// kernel drops the lock when the process ends, however it ends.
class PendingFile {
 public:
  PendingFile(const std::string& partial, const std::string& folder, const std::string& path)
      : folder_(folder), path_(path), temp_(partial + "/" + Folders::newUUIDString() + ".part") {
    std::error_code error;
    std::filesystem::create_directory(partial, error);
    fd_ = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd_ < 0) {
      error_ = "cannot create " + temp_ + ": " + errorText(errno);
      return;
    }
    // A check in another process may have found the file before it was locked and removed
    // it; the file is then no longer at its path, and the download cannot go on.
    struct stat opened {
    }, named{};
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd_, &opened) != 0 ||
        ::stat(temp_.c_str(), &named) != 0 || opened.st_ino != named.st_ino ||
        opened.st_dev != named.st_dev) {
      error_ = "cannot lock " + temp_;
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~PendingFile() {
    if (fd_ < 0) return;
    if (!committed_) ::unlink(temp_.c_str());
    ::close(fd_);
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Why the file cannot be written; empty while it can.
  const std::string& error() const { return error_; }

  bool write(std::string_view piece) {
    if (fd_ >= 0 && writeAll(fd_, piece)) return true;
    if (error_.empty()) error_ = "cannot write " + temp_ + ": " + errorText(errno);
    return false;
  }

  // The data reach the disk before the rename, so that after a crash the path holds either
  // the previous file or the complete new one. The lock is kept until the file has its name.
  bool commit() {
    if (fd_ < 0) return false;
    if (::fsync(fd_) != 0 || ::rename(temp_.c_str(), path_.c_str()) != 0) {
      error_ = "cannot store the image as " + path_ + ": " + errorText(errno);
      return false;
    }
    committed_ = true;
    const int fd = std::exchange(fd_, -1);
    ::close(fd);
    int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
    return true;
  }

 private:
  std::string folder_, path_, temp_;
  std::string error_;
  int fd_ = -1;
  bool committed_ = false;
};

// Removes the partial downloads that no live process holds: the lock of a download in
// progress, here or in another copy of the application, keeps its file.
void removeAbandonedDownloads(const std::string& partial) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (fs::directory_iterator it(partial, error), end; !error && it != end; it.increment(error)) {
    const std::string path = it->path().string();
    if (!path.ends_with(".part")) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlink(path.c_str());
    }
    ::close(fd);
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
    self->setUpdateAvailable(self->coreCheck());
    dispatch::asyncMain([self, start] { self->schedule(start); });
  });
}

void Sparkler::schedule(double start) {
  double delay = std::max(start - MonotonicClock::now() + kPeriod, kMinimumDelay);
  Timer::scheduledTimer(delay, shared_from_this(), &Sparkler::check);
}

namespace {

// One check; its result, with `failure` set to the cause when the check failed.
bool runCheck(Sparkler& self, std::string& failure) {
  if (auto dir = self.folder()) {
    if (auto partial = Sparkler::partialFolder(*dir)) removeAbandonedDownloads(*partial);
  }
  const auto& limits = self.timeLimits();
  auto url = self.manifest();
  if (!url) {
    failure = "no manifest URL is set";
    return false;
  }
  URLLoader::Result fetched;
  auto body = URLLoader::contentsOfURL(*url,
                                       {.maxBytes = Sparkler::kMaximumManifestSize,
                                        .total = limits.manifest,
                                        .connect = limits.connect,
                                        .stall = limits.stall},
                                       &fetched);
  if (!body) {
    failure = "cannot fetch the manifest " + *url + ": " + fetched.error;
    return false;
  }
  std::string unreadable;
  auto parsed = Manifest::read(*body, &unreadable);
  if (!parsed) {
    failure = "the manifest " + *url + " is unreadable: " + unreadable;
    return false;
  }
  auto list = std::make_shared<const json>(std::move(*parsed));
  self.setUpdates(list);

  auto current = self.currentVersion();
  if (!current) {
    failure = "the running bundle has no version (CFBundleShortVersionString)";
    return false;
  }
  const json& newest = list->back();
  auto latest = Manifest::versionOf(newest);
  if (!latest) {
    const auto version = newest.find("version");
    failure = version == newest.end() || !version->is_string()
                  ? "the newest entry has no \"version\""
                  : "the newest entry's version \"" +
                        Manifest::excerpt(version->get_ref<const std::string&>()) +
                        "\" is not a version";
    return false;
  }
  if (current->isEqualToOrBetterThan(latest)) return false;
  return self.cached(newest) || self.download(newest, &failure);
}

}  // namespace

bool Sparkler::coreCheck() {
  std::string failure;
  bool available = false;
  try {
    available = runCheck(*this, failure);
  } catch (...) {
    failure = "out of memory";
  }
  if (!failure.empty()) {
    // The cause may quote what a server sent; the line stays short whatever it sent.
    static constexpr std::string_view kHeading = "UPDATE CHECK FAILED: ";
    Log::line(std::string(kHeading) +
              Manifest::excerpt(failure, Manifest::kDescriptionBytes - kHeading.size()));
  }
  std::lock_guard lock(mutex_);
  checkFailure_ = failure.empty() ? nullptr : std::make_shared<const std::string>(failure);
  return available;
}

std::shared_ptr<const std::string> Sparkler::checkFailure() const {
  std::lock_guard lock(mutex_);
  return checkFailure_;
}

std::optional<Version> Sparkler::currentVersion() const {
  return Application::version();
}

std::optional<Version> Sparkler::latestVersion() const {
  auto list = updates();
  if (!list || !list->is_array() || list->empty()) return std::nullopt;
  return Manifest::versionOf(list->back());
}

bool Sparkler::cached(const nlohmann::json& entry, std::string* reason) {
  std::string why;
  const bool intact = [&] {
    auto checked = checkEntry(entry, folder(), why);
    if (!checked) return false;
    struct stat info {};
    if (::stat(checked->path.c_str(), &info) != 0) {
      why = "no image is cached at " + checked->path;
      return false;
    }
    // Only a regular file can be an image; anything else is not ours to remove.
    if (!S_ISREG(info.st_mode)) {
      why = checked->path + " is not a file";
      return false;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size != checked->entry.size) {
      why = "the cached image " + checked->path + " has " + std::to_string(size) + " bytes, not " +
            std::to_string(checked->entry.size) + "; removed";
    } else if (!fileMatches(checked->path, checked->entry.size, checked->entry.hash)) {
      why = "the cached image " + checked->path + " does not match its digest; removed";
    } else {
      return true;
    }
    ::unlink(checked->path.c_str());
    return false;
  }();
  if (!intact && reason != nullptr) *reason = std::move(why);
  return intact;
}

bool Sparkler::download(const nlohmann::json& entry, std::string* reason) {
  std::string why;
  const bool stored = [&] {
    auto dir = folder();
    auto checked = checkEntry(entry, dir, why);
    if (!checked) return false;
    const auto& [name, hash, size] = checked->entry;
    auto url = manifest();
    if (!url) {
      why = "no manifest URL is set";
      return false;
    }
    auto target = downloadURL(*url, name);
    auto partial = partialFolder(*dir);
    if (!target || !partial) {
      why = "no place to fetch or keep " + name + " from";
      return false;
    }
    PendingFile file(*partial, *dir, checked->path);
    if (!file.error().empty()) {
      why = file.error();
      return false;
    }
    MD5Stream md5;
    std::uint64_t received = 0;
    // The deadline grows with the image, from a floor that covers the connection and the
    // TLS handshake.
    const auto transfer = std::chrono::milliseconds(
        size * 1000 / std::max<std::uint64_t>(timeLimits_.imageBytesPerSecond, 1));
    auto fetched = URLLoader::streamURL(*target,
                                        {.maxBytes = static_cast<std::size_t>(size),
                                         .total = timeLimits_.imageFloor + transfer,
                                         .connect = timeLimits_.connect,
                                         .stall = timeLimits_.stall},
                                        [&](std::string_view piece) {
                                          received += piece.size();
                                          md5.add(piece);
                                          return file.write(piece);
                                        });
    if (!fetched.ok()) {
      why =
          "cannot fetch " + *target + ": " + (file.error().empty() ? fetched.error : file.error());
      return false;
    }
    if (received != size) {
      why = *target + " sent " + std::to_string(received) + " bytes, not " + std::to_string(size);
      return false;
    }
    auto digest = md5.hex();
    if (!digest || *digest != hash) {
      why = "the image from " + *target + " does not match its digest";
      return false;
    }
    if (!file.commit()) {
      why = file.error();
      return false;
    }
    return true;
  }();
  if (!stored && reason != nullptr) *reason = std::move(why);
  return stored;
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

std::optional<std::string> Sparkler::partialFolder(std::string_view folder) {
  std::filesystem::path path(folder);
  // "a/b/" names the folder b as "a/b" does.
  if (!path.has_filename()) path = path.parent_path();
  if (!path.has_filename() || !path.has_parent_path()) return std::nullopt;
  path += ".partial";
  return path.string();
}

bool Sparkler::isPlainFileName(std::string_view name) noexcept {
  return Manifest::isPlainFileName(name);
}

}  // namespace sparkler
