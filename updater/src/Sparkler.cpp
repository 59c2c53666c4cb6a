#include "sparkler/Sparkler.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <vector>

#include "ProgressReporter.h"
#include "SparklerSettings.h"
#include "sparkler/Application.h"
#include "sparkler/Bundle.h"
#include "sparkler/DigestStream.h"
#include "sparkler/Dispatch.h"
#include "sparkler/Files.h"
#include "sparkler/Folders.h"
#include "sparkler/Log.h"
#include "sparkler/MD5Stream.h"
#include "sparkler/Manifest.h"
#include "sparkler/ManifestSignature.h"
#include "sparkler/MonotonicClock.h"
#include "sparkler/URLFetcher.h"
#include "sparkler/URLLoader.h"

namespace sparkler {
namespace {

using nlohmann::json;

constexpr std::string_view kPublicKeysKey = "SparklerPublicKeys";

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
                                       const SparklerSettings& settings, std::string& reason,
                                       SparklerErrc* errc = nullptr) {
  auto checked = Manifest::checkedEntry(entry, &reason, settings.configuration.maximumSize,
                                        settings.signatureRequired);
  if (!checked) {
    if (errc != nullptr) *errc = SparklerErrc::newestEntryInvalid;
    return std::nullopt;
  }
  if (!folder || folder->empty()) {
    reason = "no cache folder is set";
    if (errc != nullptr) *errc = SparklerErrc::cacheNotWritable;
    return std::nullopt;
  }
  std::string path = *folder + "/" + checked->name;
  return CheckedEntry{std::move(*checked), std::move(path)};
}

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
    if (fd_ >= 0 && Files::writeAll(fd_, piece)) return true;
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

// The digests an image is checked against, computed in one pass over its bytes: MD5 always,
// SHA-256 when the entry gives one.
class ImageDigests {
 public:
  explicit ImageDigests(const Manifest::Entry& entry) : entry_(entry) {}

  void add(std::string_view piece) {
    md5_.add(piece);
    if (!entry_.sha256.empty()) sha256_.add(piece);
  }

  // Whether the bytes added match the entry; once only.
  bool match() {
    const auto md5 = md5_.hex();
    if (!md5 || *md5 != entry_.hash) return false;
    if (entry_.sha256.empty()) return true;
    const auto sha256 = sha256_.hex();
    return sha256 && *sha256 == entry_.sha256;
  }

 private:
  const Manifest::Entry& entry_;
  MD5Stream md5_;
  DigestStream sha256_{DigestStream::Algorithm::sha256};
};

// Streams the file at `path` through the digests of `entry`; whether exactly its size was
// read and the digests match.
bool fileMatches(const std::string& path, const Manifest::Entry& entry) {
  const std::uint64_t size = entry.size;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ImageDigests digests(entry);
  std::string buffer(std::size_t{1} << 20, '\0');
  std::uint64_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<std::uint64_t>(n);
    // A file that grew since it was measured fails without being read to its end.
    if (total > size) break;
    digests.add(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
  }
  ::close(fd);
  return total == size && digests.match();
}

SparklerError failure(SparklerErrc errc, std::string message) {
  return {make_error_code(errc), std::move(message)};
}

// `configuration` with its defaults filled in from its bundle (the main bundle when it names
// none); `problems` receives what could not be filled in or cannot be used.
SparklerSettings resolve(SparklerConfiguration configuration, std::vector<std::string>& problems) {
  auto& c = configuration;
  if (c.bundle.empty()) c.bundle = Bundle::mainBundle()->bundlePath();
  const auto bundle = Bundle::bundleWithPath(c.bundle);
  const std::string plist = (c.bundle / "Contents" / "Info.plist").string();
  const auto missing = [&](const std::string& what, const char* key) {
    problems.push_back(
        "no " + what + ": none is configured and " +
        (bundle->infoDictionary() ? plist + " has no " + key : "there is no readable " + plist));
  };
  if (c.identifier.empty()) c.identifier = bundle->bundleIdentifier().value_or("");
  // Without an identity of its own, an app would share its cache with every other one.
  if (c.identifier.empty()) {
    missing("identifier", "CFBundleIdentifier");
  } else if (!Manifest::isPlainFileName(c.identifier)) {
    problems.push_back("the identifier \"" + Manifest::excerpt(c.identifier) +
                       "\" cannot name a folder");
  }
  if (!c.currentVersion &&
      !Version::versionWithString(
          bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").value_or(""))) {
    missing("version", "CFBundleShortVersionString that is a version");
  }
  if (c.name.empty()) c.name = bundle->objectForInfoDictionaryKey("CFBundleName").value_or("");
  if (c.name.empty()) {
    missing("name", "CFBundleName");
  } else if (!Manifest::isPlainFileName(c.name + ".app")) {
    problems.push_back("the name \"" + Manifest::excerpt(c.name) + "\" cannot name an app");
  }
  if (c.cacheFolder.empty() && !c.identifier.empty() && Manifest::isPlainFileName(c.identifier)) {
    c.cacheFolder = Folders::userData() / c.identifier / "updates" / "software";
  }
  if (c.checkInterval.count() <= 0) problems.push_back("the check interval is not positive");
  if (c.maximumSize == 0) problems.push_back("the maximum update size is 0");
  SparklerSettings settings;
  if (!c.publicKeys || c.publicKeys->empty()) {
    // A value of another kind under the key asks for signatures as a list would: it is
    // refused, never taken for no keys.
    const bool string = bundle->objectForInfoDictionaryKey(kPublicKeysKey).has_value();
    c.publicKeys = bundle->arrayForInfoDictionaryKey(kPublicKeysKey);
    if (string || (c.publicKeys && c.publicKeys->empty())) {
      problems.push_back(plist + "'s " + std::string(kPublicKeysKey) + " is not a list of 1 to " +
                         std::to_string(Bundle::kMaximumArrayCount) + " public keys");
      settings.signatureRequired = true;
    }
  }
  if (c.publicKeys && !c.publicKeys->empty()) {
    settings.signatureRequired = true;
    for (std::size_t i = 0; i < c.publicKeys->size(); ++i) {
      const auto& text = (*c.publicKeys)[i];
      if (auto key = ManifestSignature::publicKeyFromBase64(text)) {
        settings.trustedKeys.push_back(*key);
      } else {
        problems.push_back("public key " + std::to_string(i + 1) + " (\"" +
                           Manifest::excerpt(text) + "\") is not a base64 Ed25519 key");
      }
    }
  }
  if (!c.extraCAFile.empty()) {
    settings.caBundle = URLLoader::caBundleWithExtraFile(c.extraCAFile);
    if (!settings.caBundle) {
      problems.push_back("cannot read the CA file " + c.extraCAFile.string());
    }
  }
  settings.item = c.name.empty() ? std::string() : c.name + ".app/Contents";
  settings.configuration = std::move(configuration);
  return settings;
}

// Every problem of a configuration, in one text: the caller and the log hear all of them.
std::string joined(const std::vector<std::string>& problems) {
  std::string text;
  for (const auto& problem : problems) text += (text.empty() ? "" : "; ") + problem;
  return text;
}

// Makes the cache folder with its parents; a folder that cannot be made is logged with why
// (every download into it will fail and say so too).
void makeCacheFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error)
    Log::error("Cannot make the update cache folder " + folder.string() + ": " + error.message());
}

void logConfigurationProblems(const std::vector<std::string>& problems) {
  if (!problems.empty()) Log::error("Cannot configure the updater: " + joined(problems));
}

SparklerErrc errcOf(ManifestSignature::State state) {
  using State = ManifestSignature::State;
  switch (state) {
    case State::missing:
      return SparklerErrc::signatureMissing;
    case State::expired:
      return SparklerErrc::signatureExpired;
    case State::untrusted:
      return SparklerErrc::signatureUntrusted;
    case State::valid:
    case State::bad:
      break;
  }
  return SparklerErrc::signatureInvalid;
}

bool isHTTPSURL(std::string_view url) {
  constexpr std::string_view kScheme = "https://";
  if (url.size() <= kScheme.size()) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != kScheme[i]) return false;
  }
  const char first = url[kScheme.size()];
  return first != '/' && first != '?' && first != '#';
}

}  // namespace

Sparkler::Sparkler(std::shared_ptr<const SparklerSettings> settings,
                   SparklerDependencies dependencies)
    : dependencies_(std::move(dependencies)), settings_(std::move(settings)) {}

std::shared_ptr<Sparkler> Sparkler::create(SparklerConfiguration configuration,
                                           SparklerDependencies dependencies,
                                           SparklerError* error) {
  std::vector<std::string> problems;
  try {
    const std::string url = configuration.manifestURL;
    if (!isHTTPSURL(url)) {
      problems.push_back("the manifest URL \"" + Manifest::excerpt(url) + "\" is not an https URL");
    }
    auto settings = std::make_shared<SparklerSettings>(resolve(std::move(configuration), problems));
    if (problems.empty()) {
      std::shared_ptr<Sparkler> made(new Sparkler(settings, std::move(dependencies)));
      made->manifest_ = std::make_shared<const std::string>(url);
      made->folder_ =
          std::make_shared<const std::string>(settings->configuration.cacheFolder.string());
      return made;
    }
  } catch (...) {
    problems.push_back("out of memory");
  }
  logConfigurationProblems(problems);
  if (error != nullptr) {
    *error = failure(SparklerErrc::unusableConfiguration, joined(problems));
  }
  return nullptr;
}

void Sparkler::start() {
  if (started_.exchange(true)) return;
  if (auto dir = folder()) makeCacheFolder(*dir);
  cleanUpInterruptedInstallations();
  check();
}

std::shared_ptr<Sparkler> Sparkler::sparkler() {
  // Never destroyed: check jobs may still run while the process exits.
  static auto* shared = new std::shared_ptr<Sparkler>(
      new Sparkler(std::make_shared<const SparklerSettings>(), SparklerDependencies{}));
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
  if (!started_.exchange(true)) {
    // The main bundle as it is now; what it lacks is said once, and the updater goes on with
    // the rest (a check then fails with its own cause).
    std::vector<std::string> problems;
    SparklerConfiguration configuration;
    configuration.manifestURL = *url;
    auto settings = std::make_shared<const SparklerSettings>(resolve(configuration, problems));
    logConfigurationProblems(problems);
    {
      std::lock_guard lock(mutex_);
      settings_ = settings;
    }
    // The folder is in place before the manifest starts the first check job, which reads it.
    const auto& path = settings->configuration.cacheFolder;
    if (!path.empty()) {
      makeCacheFolder(path);
      setFolder(std::make_shared<const std::string>(path.string()));
    }
    if (!manifest()) cleanUpInterruptedInstallations();
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

double Sparkler::now() const {
  // A monotonic clock: a wall clock set back would hold the next check for as long.
  return dependencies_.clock ? dependencies_.clock() : MonotonicClock::now();
}

std::int64_t Sparkler::wallNow() const {
  if (dependencies_.wallClock) return dependencies_.wallClock();
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::shared_ptr<MainLoop> Sparkler::mainLoop() const {
  return dependencies_.mainLoop ? dependencies_.mainLoop : dispatch::mainLoop();
}

std::shared_ptr<URLFetcher> Sparkler::fetcher() const {
  return dependencies_.fetcher ? dependencies_.fetcher : URLFetcher::standard();
}

bool Sparkler::post(std::function<void()> fn) const {
  auto loop = mainLoop();
  if (!loop) return false;
  loop->post(std::move(fn));
  return true;
}

ProgressReporter Sparkler::reporter() const {
  auto progress = settings()->configuration.progress;
  std::unique_lock lock(mutex_);
  auto observer = observer_;
  lock.unlock();
  if (observer) {
    progress = [progress, observer](const SparklerProgress& report) {
      if (progress) progress(report);
      (*observer)(report);
    };
  }
  return ProgressReporter(
      std::move(progress),
      [self = shared_from_this()](std::function<void()> fn) { return self->post(std::move(fn)); },
      [self = shared_from_this()] { return self->now(); });
}

void Sparkler::check() {
  dispatch::async(dispatch::Priority::Low, [self = shared_from_this()] {
    const double start = self->now();
    self->notify(SparklerProgress::Phase::Checking);
    self->setUpdateAvailable(self->coreCheck());
    self->notify(SparklerProgress::Phase::Checked);
    self->post([self, start] { self->schedule(start); });
  });
}

void Sparkler::schedule(double start) {
  // The next check is due one interval after this one started, and never sooner than four
  // fifths of an interval from now (300 s and 240 s by default).
  const double interval = static_cast<double>(settings()->configuration.checkInterval.count());
  const double delay = std::max(start - now() + interval, interval * 0.8);
  if (auto loop = mainLoop()) {
    loop->postAfter(MainLoop::Seconds(delay), [self = shared_from_this()] { self->check(); });
  }
}

std::optional<SparklerError> Sparkler::runCheck(bool& available) {
  if (auto dir = folder()) {
    if (auto partial = Sparkler::partialFolder(*dir)) removeAbandonedDownloads(*partial);
  }
  const auto settings = this->settings();
  const auto& limits = settings->configuration.timeLimits;
  auto url = manifest();
  if (!url) return failure(SparklerErrc::unusableConfiguration, "no manifest URL is set");
  URLLoader::Options options;
  options.caBundle = settings->caBundle;
  const bool signatureRequired = settings->signatureRequired;
  std::shared_ptr<const json> kept;
  std::shared_ptr<const std::string> keptBody;
  {
    std::lock_guard lock(mutex_);
    lastSignature_.reset();
    kept = updates_;
    keptBody = manifestBody_;
    // Validators stand for the list in `updates`; without one they would name nothing. A
    // signed manifest's expiry must be judged at every check, "not modified" or not: so its
    // verified bytes are kept with the list (at most kMaximumManifestSize), and without them
    // no validators are sent. The signature file itself, small, is fetched every time, so a
    // signature renewed for the same manifest is seen at once.
    if (kept && (!signatureRequired || keptBody)) options.validators = manifestValidators_;
  }
  const URLLoader::Limits manifestLimits{.maxBytes = Sparkler::kMaximumManifestSize,
                                         .total = limits.manifest,
                                         .connect = limits.connect,
                                         .stall = limits.stall};
  URLLoader::Result fetched;
  auto body = fetcher()->contentsOfURL(*url, manifestLimits, options, &fetched);
  if (!body) {
    return failure(SparklerErrc::manifestUnreachable,
                   "cannot fetch the manifest " + *url + ": " + fetched.error);
  }
  if (fetched.notModified &&
      (!kept || !kept->is_array() || kept->empty() || (signatureRequired && !keptBody))) {
    return failure(SparklerErrc::manifestUnreadable,
                   "the manifest " + *url + " is unreadable: \"not modified\", but none was read");
  }
  if (signatureRequired) {
    // The bytes are verified before anything reads them: unsigned text never reaches the
    // JSON parser.
    if (auto refused = verifyManifest(*url, fetched.notModified ? *keptBody : *body, *settings,
                                      manifestLimits)) {
      return refused;
    }
  }
  std::shared_ptr<const json> list;
  if (fetched.notModified) {
    // The server still has the manifest that `updates` holds: the check goes on with it.
    list = kept;
  } else {
    std::string unreadable;
    auto parsed = Manifest::read(*body, &unreadable);
    if (!parsed) {
      std::lock_guard lock(mutex_);
      manifestValidators_ = {};
      return failure(SparklerErrc::manifestUnreadable,
                     "the manifest " + *url + " is unreadable: " + unreadable);
    }
    list = std::make_shared<const json>(std::move(*parsed));
    auto verified =
        signatureRequired ? std::make_shared<const std::string>(std::move(*body)) : nullptr;
    std::lock_guard lock(mutex_);
    updates_ = list;
    manifestBody_ = std::move(verified);
    manifestValidators_ = fetched.validators;
  }

  auto current = currentVersion();
  if (!current) {
    return failure(SparklerErrc::noCurrentVersion,
                   "the running bundle has no version (CFBundleShortVersionString)");
  }
  const json& newest = list->back();
  auto latest = Manifest::versionOf(newest);
  if (!latest) {
    const auto version = newest.find("version");
    return failure(SparklerErrc::newestEntryInvalid,
                   version == newest.end() || !version->is_string()
                       ? "the newest entry has no \"version\""
                       : "the newest entry's version \"" +
                             Manifest::excerpt(version->get_ref<const std::string&>()) +
                             "\" is not a version");
  }
  if (current->isEqualToOrBetterThan(latest)) return std::nullopt;
  if (!cached(newest)) {
    auto progress = reporter();
    if (auto failed = downloadImage(newest, progress)) return failed;
  }
  available = true;
  return std::nullopt;
}

std::optional<SparklerError> Sparkler::verifyManifest(const std::string& url,
                                                      std::string_view manifest,
                                                      const SparklerSettings& settings,
                                                      URLLoader::Limits limits) {
  using State = ManifestSignature::State;
  ManifestSignature::Verdict verdict;
  // The manifest's URL with ".sig" appended to its path; a query, if any, still follows.
  const auto signatureURL = URLLoader::withPathSuffix(url, ManifestSignature::kFileSuffix);
  URLLoader::Result fetched;
  limits.maxBytes = ManifestSignature::kMaximumFileSize;
  // No validators: the file is small, and its expiry is read afresh at every check.
  std::optional<std::string> file;
  if (signatureURL) {
    file =
        fetcher()->contentsOfURL(*signatureURL, limits, {.caBundle = settings.caBundle}, &fetched);
  }
  if (!file) {
    verdict.state = State::missing;
    verdict.reason = signatureURL
                         ? "its signature " + *signatureURL + " cannot be fetched: " + fetched.error
                         : std::string("its URL cannot name a signature file");
  } else if (settings.trustedKeys.empty()) {
    // Keys were configured, and none could be used: nothing can be trusted.
    verdict.state = State::untrusted;
    verdict.reason = "none of the configured public keys is usable";
  } else {
    verdict = ManifestSignature::verify(manifest, *file, settings.trustedKeys, wallNow());
  }
  const auto state = verdict.state;
  std::string reason = verdict.reason;
  {
    std::lock_guard lock(mutex_);
    lastSignature_ = std::move(verdict);
  }
  if (state == State::valid) return std::nullopt;
  return failure(errcOf(state), "cannot trust the manifest " + url + ": " + reason);
}

bool Sparkler::coreCheck() {
  std::optional<SparklerError> failed;
  bool available = false;
  try {
    failed = runCheck(available);
  } catch (...) {
    failed = failure(SparklerErrc::outOfMemory, "out of memory");
  }
  if (failed) {
    // The cause may quote what a server sent; the line, and the cause callers are handed,
    // stay short whatever it sent.
    static constexpr std::string_view kHeading = "UPDATE CHECK FAILED: ";
    failed->message =
        Manifest::excerpt(failed->message, Manifest::kDescriptionBytes - kHeading.size());
    Log::error(std::string(kHeading) + failed->message);
  }
  if (failed) available = false;
  setLastError(std::move(failed));
  return available;
}

std::optional<SparklerError> Sparkler::lastError() const {
  std::lock_guard lock(mutex_);
  return lastError_;
}

void Sparkler::setLastError(std::optional<SparklerError> error) {
  std::lock_guard lock(mutex_);
  lastError_ = std::move(error);
}

SparklerConfiguration Sparkler::configuration() const {
  return settings()->configuration;
}

SparklerTimeLimits Sparkler::timeLimits() const {
  return settings()->configuration.timeLimits;
}

std::shared_ptr<const SparklerSettings> Sparkler::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

std::optional<Version> Sparkler::currentVersion() const {
  const auto& configuration = settings()->configuration;
  if (configuration.currentVersion) return configuration.currentVersion;
  // Read anew each time: an installation replaces the bundle's Info.plist.
  if (configuration.bundle.empty()) return Application::version();
  return Version::versionWithString(Bundle::bundleWithPath(configuration.bundle)
                                        ->objectForInfoDictionaryKey("CFBundleShortVersionString")
                                        .value_or(""));
}

std::optional<Version> Sparkler::latestVersion() const {
  auto list = updates();
  if (!list || !list->is_array() || list->empty()) return std::nullopt;
  return Manifest::versionOf(list->back());
}

bool Sparkler::cached(const nlohmann::json& entry, std::string* reason) {
  std::string why;
  const bool intact = [&] {
    auto checked = checkEntry(entry, folder(), *settings(), why);
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
    } else if (!fileMatches(checked->path, checked->entry)) {
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
  auto progress = reporter();
  auto failed = downloadImage(entry, progress);
  if (!failed) return true;
  if (reason != nullptr) *reason = failed->message;
  setLastError(std::move(failed));
  return false;
}

std::optional<SparklerError> Sparkler::downloadImage(const nlohmann::json& entry,
                                                     ProgressReporter& progress) {
  const auto settings = this->settings();
  auto dir = folder();
  std::string why;
  SparklerErrc errc{};
  auto checked = checkEntry(entry, dir, *settings, why, &errc);
  if (!checked) return failure(errc, why);
  // Plain references, not a structured binding: the download's callback uses the size.
  const std::string& name = checked->entry.name;
  const std::uint64_t size = checked->entry.size;
  auto url = manifest();
  if (!url) return failure(SparklerErrc::unusableConfiguration, "no manifest URL is set");
  auto target = URLLoader::siblingURL(*url, name);
  auto partial = partialFolder(*dir);
  if (!target || !partial) {
    return failure(SparklerErrc::cacheNotWritable, "no place to fetch or keep " + name + " from");
  }
  PendingFile file(*partial, *dir, checked->path);
  if (!file.error().empty()) return failure(SparklerErrc::cacheNotWritable, file.error());
  ImageDigests digests(checked->entry);
  std::uint64_t received = 0;
  const auto& limits = settings->configuration.timeLimits;
  // The deadline grows with the image, from a floor that covers the connection and the
  // TLS handshake.
  const auto transfer = std::chrono::milliseconds(
      size * 1000 / std::max<std::uint64_t>(limits.imageBytesPerSecond, 1));
  using Phase = SparklerProgress::Phase;
  progress.report(Phase::Downloading, 0, size);
  auto fetched =
      fetcher()->fetch(*target,
                       {.maxBytes = static_cast<std::size_t>(size),
                        .total = limits.imageFloor + transfer,
                        .connect = limits.connect,
                        .stall = limits.stall},
                       URLLoader::Options{{}, settings->caBundle}, [&](std::string_view piece) {
                         received += piece.size();
                         digests.add(piece);
                         progress.report(Phase::Downloading, received, size);
                         return file.write(piece);
                       });
  progress.report(Phase::Downloading, received, size, true);
  if (!fetched.ok()) {
    if (!file.error().empty()) return failure(SparklerErrc::cacheNotWritable, file.error());
    return failure(SparklerErrc::imageUnreachable,
                   "cannot fetch " + *target + ": " + fetched.error);
  }
  if (received != size) {
    return failure(SparklerErrc::imageMismatch, *target + " sent " + std::to_string(received) +
                                                    " bytes, not " + std::to_string(size));
  }
  if (!digests.match()) {
    return failure(SparklerErrc::imageMismatch,
                   "the image from " + *target + " does not match its digest");
  }
  if (!file.commit()) return failure(SparklerErrc::cacheNotWritable, file.error());
  progress.report(Phase::Verified, size, size, true);
  return std::nullopt;
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
  // The bytes kept stand for the list read from the server, which this one replaces.
  manifestBody_.reset();
}

std::optional<ManifestSignature::Verdict> Sparkler::lastSignature() const {
  std::lock_guard lock(mutex_);
  return lastSignature_;
}

bool Sparkler::requiresSignature() const {
  return settings()->signatureRequired;
}

std::shared_ptr<const std::string> Sparkler::folder() const {
  std::lock_guard lock(mutex_);
  return folder_;
}

void Sparkler::setFolder(std::shared_ptr<const std::string> folder) {
  std::lock_guard lock(mutex_);
  folder_.swap(folder);
}

std::optional<std::string> Sparkler::partialFolder(std::string_view folder) {
  std::filesystem::path path(folder);
  // "a/b/" names the folder b as "a/b" does.
  if (!path.has_filename()) path = path.parent_path();
  if (!path.has_filename() || !path.has_parent_path()) return std::nullopt;
  path += ".partial";
  return path.string();
}

void Sparkler::setObserver(std::function<void(const SparklerProgress&)> observer) {
  auto kept = observer ? std::make_shared<const std::function<void(const SparklerProgress&)>>(
                             std::move(observer))
                       : nullptr;
  std::lock_guard lock(mutex_);
  observer_.swap(kept);
}

void Sparkler::notify(SparklerProgress::Phase phase) const {
  std::shared_ptr<const std::function<void(const SparklerProgress&)>> observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (observer) post([observer, phase] { (*observer)(SparklerProgress{phase, 0, 0}); });
}

bool Sparkler::isPlainFileName(std::string_view name) noexcept {
  return Manifest::isPlainFileName(name);
}

}  // namespace sparkler
