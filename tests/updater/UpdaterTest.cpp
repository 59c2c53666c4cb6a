#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <utility>

#include "sparkler/Bundle.h"
#include "sparkler/Checksum.h"
#include "sparkler/Dispatch.h"
#include "sparkler/Log.h"
#include "sparkler/Manifest.h"
#include "sparkler/MonotonicClock.h"
#include "sparkler/RunLoop.h"
#include "sparkler/Sparkler.h"
#include "sparkler/SparklerError.h"
#include "sparkler/Timer.h"
#include "sparkler/URLFetcher.h"
#include "sparkler/URLLoader.h"
#include "sparkler/testing/DiskImages.h"
#include "sparkler/testing/HttpsServer.h"
#include "sparkler/testing/ManualMainLoop.h"
#include "sparkler/testing/TempHome.h"
#include "sparkler/testing/TestBundle.h"

namespace fs = std::filesystem;
using nlohmann::json;
using sparkler::testing::HttpsServer;
using sparkler::testing::readFile;
using Fault = HttpsServer::Fault;
using Names = std::vector<std::string>;

namespace sparkler {
namespace {

constexpr const char* kManifestPath = "/assets/Tove/software/mac/_.json";
constexpr const char* kIdentifier = "org.tove.Tove";

// A stuck server fails a test within seconds; a 100 KB image still arrives on a loaded machine.
constexpr Sparkler::TimeLimits kLimits{.manifest = std::chrono::seconds(3),
                                       .imageFloor = std::chrono::seconds(3),
                                       .connect = std::chrono::seconds(5),
                                       .stall = std::chrono::seconds(1)};

std::string imageBytes(std::size_t size, char seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i * 31 % 251);
  return data;
}

json entry(std::string_view version, std::string_view name, const std::string& image) {
  return {{"version", version},
          {"name", name},
          {"hash", *Checksum::MD5String(image)},
          {"size", image.size()}};
}

// A manifest whose newest entry is valid but for one extra key: `depth` arrays deep.
std::string deepManifest(const json& newest, std::size_t depth) {
  std::string text = newest.dump();
  text.pop_back();
  return "[" + text + ",\"extra\":" + std::string(depth, '[') + std::string(depth, ']') + "}]";
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

Names namesIn(const fs::path& dir) {
  Names names;
  std::error_code error;
  for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    useBundle("1.0.0");
    dispatch::setMainLoop(loop);
    Log::setSink([this](std::string_view line) {
      std::lock_guard lock(logMutex);
      logLines.emplace_back(line);
    });
    fs::create_directories(folder);
    sparkler = make();
    ASSERT_TRUE(sparkler);
  }

  void TearDown() override {
    Log::setSink({});
    dispatch::setMainLoop(nullptr);
    Bundle::overrideMainBundlePath(std::nullopt);
    URLLoader::setExtraCAFile(std::nullopt);
    MonotonicClock::setForTesting(std::nullopt);
  }

  void useBundle(std::string_view version) {
    bundle = testing::makeTestBundle(home.temporary(), "Tove", version, kIdentifier);
  }

  // The app's configuration, with the manifest on the test's server unless given.
  SparklerConfiguration configuration(std::string url = {}) const {
    SparklerConfiguration c;
    c.manifestURL = url.empty() ? server.url(kManifestPath) : url;
    c.bundle = bundle;
    c.extraCAFile = server.caFile();
    c.timeLimits = kLimits;
    return c;
  }
  std::shared_ptr<Sparkler> make(std::string url = {}) {
    return Sparkler::create(configuration(std::move(url)), {.mainLoop = loop});
  }

  void publish(const json& manifest) { server.putFile(kManifestPath, manifest.dump()); }
  static std::string imagePath(std::string_view name) {
    return "/assets/Tove/software/mac/" + std::string(name);
  }

  Names takeLog() {
    std::lock_guard lock(logMutex);
    return std::exchange(logLines, {});
  }

  // A check that fails for `errc` with `cause` in its reason, logged as one line.
  void expectFailure(SparklerErrc errc, std::string_view cause, Sparkler* other = nullptr) {
    Sparkler& updater = other != nullptr ? *other : *sparkler;
    takeLog();
    EXPECT_FALSE(updater.coreCheck());
    const auto failure = updater.lastError();
    ASSERT_TRUE(failure) << "expected: " << cause;
    EXPECT_EQ(failure->code, errc) << failure->message;
    EXPECT_STREQ(failure->code.category().name(), "sparkler");
    EXPECT_TRUE(contains(failure->message, cause)) << failure->message << "\nexpected: " << cause;
    EXPECT_EQ(takeLog(), Names{"UPDATE CHECK FAILED: " + failure->message});
  }

  // A check that completes (an update found or none newer) and logs nothing.
  bool completedCheck(Sparkler& updater) {
    takeLog();
    const bool available = updater.coreCheck();
    EXPECT_FALSE(updater.lastError()) << updater.lastError()->message;
    EXPECT_EQ(takeLog(), Names{});
    return available;
  }
  bool completedCheck() { return completedCheck(*sparkler); }

  testing::TempHome home;
  HttpsServer server;
  fs::path bundle;
  std::shared_ptr<testing::ManualMainLoop> loop = std::make_shared<testing::ManualMainLoop>();
  std::shared_ptr<Sparkler> sparkler;
  const fs::path folder = home.dataHome() / kIdentifier / "updates" / "software";
  const fs::path partial = folder.string() + ".partial";
  const std::string image = imageBytes(100'000, 7);
  std::mutex logMutex;
  Names logLines;
};

// --- Checks and the cache ---------------------------------------------------------------

TEST_F(UpdaterTest, NewerImageReplacesADamagedCopyIsServedFromTheCacheAndKeptBesideLaterOnes) {
  const std::string newer = imageBytes(90'000, 3);
  server.putFile(imagePath("Tove-1.0.1.dmg"), image);
  server.putFile(imagePath("Tove-1.0.2.dmg"), newer);
  testing::writeFile(folder / "Tove-1.0.1.dmg", image + 'x');
  publish(json::array(
      {entry("1.0.0", "Tove-1.0.0.dmg", "old"), entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  EXPECT_TRUE(completedCheck());
  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), image);
  EXPECT_EQ(sparkler->latestVersion()->description(), "1.0.1");
  EXPECT_TRUE(completedCheck());
  EXPECT_EQ(server.requestCount(imagePath("Tove-1.0.1.dmg")), 1u);

  publish(json::array(
      {entry("1.0.1", "Tove-1.0.1.dmg", image), entry("1.0.2", "Tove-1.0.2.dmg", newer)}));
  EXPECT_TRUE(completedCheck());
  EXPECT_EQ(namesIn(folder), (Names{"Tove-1.0.1.dmg", "Tove-1.0.2.dmg"}));
  EXPECT_EQ(namesIn(partial), Names{});

  // A copy of the right size whose digest differs is removed; digests are lowercase hex.
  std::string reason;
  testing::writeFile(folder / "Tove-1.0.1.dmg", imageBytes(100'000, 8));
  EXPECT_FALSE(sparkler->cached(entry("1.0.1", "Tove-1.0.1.dmg", image), &reason));
  EXPECT_TRUE(contains(reason, "does not match its digest; removed")) << reason;
  json upper = entry("1.0.2", "Tove-1.0.2.dmg", newer);
  for (char& c : upper["hash"].get_ref<std::string&>()) c = static_cast<char>(std::toupper(c));
  EXPECT_FALSE(sparkler->cached(upper));
  EXPECT_FALSE(sparkler->download(upper));
  EXPECT_EQ(namesIn(folder), Names{});
}

// A check removes every partial file whose download's lock is free. Partial files live beside
// the cache folder, where no entry's name reaches, so no cached image goes with them.
TEST_F(UpdaterTest, PartialDownloadsGoAsSoonAsTheirOwnerIsGoneAndNoCachedImageWithThem) {
  EXPECT_EQ(Sparkler::partialFolder(folder.string() + "/"), partial.string());
  const Names names = {".sparkler-1.part", "Tove-1.0.1.dmg.part"};
  for (const auto& name : names) {
    testing::writeFile(folder / name, image);
    fs::last_write_time(folder / name, fs::file_time_type::clock::now() - std::chrono::hours(2));
  }
  publish(json::array({entry("1.0.1", names[1], image), entry("1.0.1", names[0], image)}));
  server.putFile(imagePath("Tove-1.0.1.dmg"), image);
  server.setFault(imagePath("Tove-1.0.1.dmg"), Fault::SlowDrip);
  std::thread downloading(
      [&] { EXPECT_FALSE(sparkler->download(entry("1.0.1", "Tove-1.0.1.dmg", image))); });
  ASSERT_TRUE(server.waitForRequests(imagePath("Tove-1.0.1.dmg"), 1));
  testing::writeFile(partial / "abandoned.part", "half");
  auto other = make();
  EXPECT_TRUE(completedCheck(*other));
  EXPECT_EQ(server.totalRequests(), 2u);  // the download's and the manifest's
  EXPECT_EQ(namesIn(folder), names);
  EXPECT_EQ(namesIn(partial).size(), 1u);
  EXPECT_NE(namesIn(partial), Names{"abandoned.part"});
  downloading.join();
  EXPECT_EQ(namesIn(partial), Names{});
}

// The newest entry decides alone, and only a readable version newer than the bundle's counts.
TEST_F(UpdaterTest, OnlyTheNewestEntrysVersionCountsAndItMustBeReadable) {
  server.putFile(imagePath("Tove-9.0.0.dmg"), image);
  publish(json::array(
      {entry("9.0.0", "Tove-9.0.0.dmg", image), entry("1.0.0", "Tove-1.0.0.dmg", image)}));
  EXPECT_FALSE(completedCheck());

  // A version is read from at most 256 bytes (the grammar costs the square of the length).
  for (const auto& [newest, cause] :
       {std::pair<json, std::string_view>{{{"name", "a.dmg"}},
                                          "the newest entry has no \"version\""},
        {entry("beta", "a.dmg", image), "version \"beta\" is not a version"},
        // Quoted escaped: a line break from the server cannot forge a line of the log.
        {entry("beta\nUPDATE AVAILABLE\x1b[J\xc2\x85", "a.dmg", image),
         "version \"beta\\nUPDATE AVAILABLE\\u001b[J\\u0085\" is not a version"},
        {{{"version", "1.0.1"}}, "the entry has no \"name\""},
        {entry(std::string(40'000, ' ') + "2.0.0", "a.dmg", image),
         "\xe2\x80\xa6\" is not a version"}}) {
    publish(json::array({newest}));
    expectFailure(SparklerErrc::newestEntryInvalid, cause);
  }
  // A bundle without a version can never be offered an update: a failure, not "up to date".
  useBundle("0.0");
  publish(json::array({entry("1.0.1", "Tove-9.0.0.dmg", image)}));
  expectFailure(SparklerErrc::noCurrentVersion, "the running bundle has no version");
  EXPECT_EQ(server.requestCount(imagePath("Tove-9.0.0.dmg")), 0u);
}

// --- Hostile manifests and servers -------------------------------------------------------

TEST_F(UpdaterTest, UnreadableMalformedOrTooDeepManifestsKeepTheLastGoodUpdatesAndSayWhy) {
  publish(json::array({entry("1.0.0", "a.dmg", image)}));
  EXPECT_FALSE(completedCheck());
  auto good = sparkler->updates();
  ASSERT_TRUE(good);

  const json newest = entry("2.0.0", "Tove-2.0.0.dmg", image);
  const std::pair<std::string, std::string_view> bad[] = {
      {"", "it is empty"},
      {"[]", "it lists no updates"},
      {"not json", "it is not JSON"},
      {"[\"\xff\xfe\"]", "it is not JSON"},
      {"{\"version\": \"2.0.0\"}", "not a list of updates"},
      {"[{\"version\": \"1.0.0\"}, \"newest is a string\"]", "newest entry is not an object"},
      {"[{\"version\": 2, \"name\": \"a.dmg\"}]", "\"version\" is not a string"},
      {"[{\"version\": \"2.0.0\", \"name\": [\"a.dmg\"]}]", "\"name\" is not a string"},
      {"[{\"version\": \"2.0.0\", \"size\": \"100000\"}]", "\"size\" is not a number"},
      // 120 KB whose rendering would take gigabytes and a stack as deep as the nesting.
      {deepManifest(newest, 60'000), "nested more than 32 deep"},
      {deepManifest(newest, Manifest::kMaximumDepth - 1), "nested more than 32 deep"},
  };
  for (const auto& [body, cause] : bad) {
    server.putFile(kManifestPath, body);
    expectFailure(SparklerErrc::manifestUnreadable, cause);
    EXPECT_EQ(sparkler->updates(), good) << body.substr(0, 60);
  }
  // As deep as the bound allows still reads, and the update is found.
  server.putFile(imagePath("Tove-2.0.0.dmg"), image);
  server.putFile(kManifestPath, deepManifest(newest, Manifest::kMaximumDepth - 2));
  EXPECT_TRUE(completedCheck());
}

TEST(Manifest, DescribeWritesWhatDumpWritesAndShortensAnyDepthOrWidthWithoutRecursion) {
  const json ordinary = json::parse(R"({"a": [1, [], {}, {"b": null}], "c": "x\n\u00e9",
                                        "d": 1.5, "e": true, "f": -3})");
  bool shortened = true;
  EXPECT_EQ(Manifest::describe(ordinary, 4096, &shortened), ordinary.dump(2));
  EXPECT_FALSE(shortened);
  const json broken = {{"k", std::string("\xff", 1)}};
  EXPECT_EQ(Manifest::describe(broken, 4096),
            broken.dump(2, ' ', false, json::error_handler_t::replace));

  // Deep, wide, and many-byte characters cut at the bound: the rendering's start, and a count of
  // what it left out.
  const json deep = json::parse(std::string(100'000, '[') + std::string(100'000, ']'));
  const json wide = {{"notes", std::string(30'000, 'n')}, {"\xc3\xa9t\xc3\xa9", "\xc3\xa9"}};
  const json accents =
      json::array({std::string(6'000, 'a') + "\xc3\xa9\xc3\xa9" + std::string(100, 'b')});
  for (const auto& [value, bound] : {std::pair<const json*, std::size_t>{&deep, 4096},
                                     {&wide, 4096},
                                     {&wide, 5},
                                     {&accents, 6'027}}) {
    const std::string text = Manifest::describe(*value, bound, &shortened);
    EXPECT_TRUE(shortened);
    EXPECT_LE(text.size(), bound);
    const auto marker = text.rfind("\xe2\x80\xa6 (");
    if (value == &deep || bound < 20) {
      EXPECT_EQ(marker == std::string::npos, bound < 20);
      continue;
    }
    const std::string full = value->dump(2);
    ASSERT_NE(marker, std::string::npos) << text;
    EXPECT_EQ(full.substr(0, marker), text.substr(0, marker));
    EXPECT_NE(static_cast<unsigned char>(full[marker]) & 0xC0, 0x80) << "cut inside a character";
    EXPECT_EQ(text.substr(marker),
              "\xe2\x80\xa6 (" + std::to_string(full.size() - marker) + " more bytes)");
  }
}

// A server that misbehaves, or that the client cannot trust, gives no manifest at all, and
// the check says why; only a 200 answer is the manifest, even when its body is the manifest.
TEST_F(UpdaterTest, ManifestFetchFailsOnAnythingButAWholeTimely200FromATrustedServer) {
  publish(json::array({entry("1.0.0", "a.dmg", image)}));
  const auto fails = [&](const std::string& url, const std::string& cause) {
    expectFailure(SparklerErrc::manifestUnreachable, cause, make(url).get());
  };
  fails(server.url("/missing.json"), "HTTP status 404");
  server.setRedirect("/plain.json",
                     "http://127.0.0.1:" + std::to_string(server.port()) + kManifestPath);
  fails(server.url("/plain.json"), "http");
  for (int status : {300, 203, 204}) {
    server.setStatus(kManifestPath, status);
    fails(server.url(kManifestPath), "HTTP status " + std::to_string(status));
  }
  for (const auto& [fault, cause] : {std::pair{Fault::NeverAnswer, "too slow"},
                                     {Fault::EndlessBody, "longer than 1048576"},
                                     {Fault::SlowDrip, "timed out"}}) {
    server.setFault(kManifestPath, fault);
    fails(server.url(kManifestPath), cause);
  }
  HttpsServer untrusted;
  untrusted.putFile(kManifestPath, json::array({entry("1.0.0", "a.dmg", image)}).dump());
  fails(untrusted.url(kManifestPath), "certificate");
  EXPECT_EQ(untrusted.totalRequests(), 0u);

  server.setFault(kManifestPath, Fault::None);
  server.setRedirect("/moved.json", server.url(kManifestPath));
  auto moved = make(server.url("/moved.json"));
  EXPECT_FALSE(completedCheck(*moved));
  EXPECT_TRUE(moved->updates());
}

TEST_F(UpdaterTest, FailedDownloadsLeaveTheCacheAsItWasAndSayWhy) {
  testing::writeFile(folder / "Tove-1.0.1.dmg", "older copy");
  const json e = entry("1.0.1", "Tove-1.0.1.dmg", image);
  const std::string path = imagePath("Tove-1.0.1.dmg"), url = server.url(path);
  const std::tuple<std::string, Fault, std::string_view> cases[] = {
      {imageBytes(100'000, 8), Fault::None, "does not match its digest"},
      {image + "more", Fault::None, "longer than 100000 bytes"},
      {image.substr(1), Fault::None, "sent 99999 bytes, not 100000"},
      {image, Fault::TruncatedBody, "closed"},
      {image, Fault::NeverAnswer, "too slow"},
      {image, Fault::SlowDrip, "timed out"},
  };
  for (const auto& [served, fault, cause] : cases) {
    server.putFile(path, served);
    server.setFault(path, fault);
    std::string reason;
    EXPECT_FALSE(sparkler->download(e, &reason));
    EXPECT_TRUE(contains(reason, cause) && contains(reason, url)) << reason;
  }
  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), "older copy");
  EXPECT_EQ(namesIn(folder), Names{"Tove-1.0.1.dmg"});
  EXPECT_EQ(namesIn(partial), Names{});

  // Within a check, the download's failure is the check's one line.
  server.setStatus(path, 404);
  publish(json::array({e}));
  expectFailure(SparklerErrc::imageUnreachable,
                "cannot fetch " + url + ": the server answered with HTTP status 404");
  server.setFault(path, Fault::None);
  server.putFile(path, imageBytes(100'000, 8));
  expectFailure(SparklerErrc::imageMismatch, "does not match its digest");
  server.putFile(path, image);
  fs::remove_all(folder);
  expectFailure(SparklerErrc::cacheNotWritable, "");
  EXPECT_EQ(errorCodeName(sparkler->lastError()->code), "cache-not-writable");
}

// Checked before any disk or network access: a size from 1 to 50,000,000 and one plain file
// name (which may still need escaping in a URL).
TEST_F(UpdaterTest, EntriesWithoutAPlainNameOrASizeInBoundsNeverReachDiskOrNetwork) {
  std::string reason;
  for (json size : {json(0), json(nullptr), json(50'000'001), json(-5), json("100000")}) {
    json e = entry("2.0.0", "x.dmg", image);
    e["size"] = size;
    if (size.is_null()) e.erase("size");
    EXPECT_FALSE(sparkler->cached(e)) << size;
    EXPECT_FALSE(sparkler->download(e, &reason)) << size;
    EXPECT_EQ(reason, "the entry's size is not a whole number from 1 to 50000000");
  }
  // The bound is the updater's own.
  auto bounded = configuration();
  bounded.maximumSize = 99'999;
  EXPECT_FALSE(Sparkler::create(bounded, {.mainLoop = loop})
                   ->download(entry("2.0.0", "x.dmg", image), &reason));
  EXPECT_EQ(reason, "the entry's size is not a whole number from 1 to 99999");
  server.putFile("/assets/Tove/evil.dmg", image);
  fs::create_directories(folder / "sub");
  for (std::string name : std::initializer_list<std::string>{
           "../evil.dmg", "../../../../evil.dmg", "sub/x.dmg", ".", "..", "",
           std::string("a\0b", 3), std::string(256, 'n')}) {
    EXPECT_FALSE(sparkler->download(entry("2.0.0", name, image))) << name;
    EXPECT_FALSE(sparkler->cached(entry("2.0.0", name, image))) << name;
    EXPECT_FALSE(sparkler->cachedPath(name)) << name;
  }
  EXPECT_EQ(server.totalRequests(), 0u);
  EXPECT_FALSE(fs::exists(folder.parent_path() / "evil.dmg"));

  json largest = entry("2.0.0", "Tove 1.0.1 #2.dmg", image);
  largest["size"] = 50'000'000;
  EXPECT_FALSE(sparkler->download(largest));  // not on the server, but asked for
  bounded.maximumSize = 60'000'000;
  largest["size"] = 50'000'001;
  EXPECT_FALSE(Sparkler::create(bounded, {.mainLoop = loop})->download(largest));
  server.putFile(imagePath("Tove 1.0.1 #2.dmg"), image);
  EXPECT_TRUE(sparkler->download(entry("2.0.0", "Tove 1.0.1 #2.dmg", image)));
  EXPECT_EQ(server.requestCount(imagePath("Tove 1.0.1 #2.dmg")), 3u);
  EXPECT_EQ(readFile(folder / "Tove 1.0.1 #2.dmg"), image);
}

// An installation that cannot start (no handler, no update) says so at once; one whose image
// is gone or whose entry is broken gives exactly one NO, on the main loop.
TEST_F(UpdaterTest, UpdateAnswersEachRequestOnceOnTheMainLoop) {
  using Calls = std::vector<std::pair<bool, bool>>;  // the outcome, and whether on this thread
  Calls calls;
  const auto handler = [&, self = std::this_thread::get_id()](bool outcome) {
    calls.emplace_back(outcome, std::this_thread::get_id() == self);
  };
  EXPECT_FALSE(sparkler->update({}));
  EXPECT_FALSE(sparkler->lastError());
  EXPECT_FALSE(sparkler->update(handler));
  EXPECT_EQ(calls, (Calls{{false, true}}));
  EXPECT_EQ(sparkler->lastError()->code, SparklerErrc::noUpdateAvailable);

  sparkler->setUpdateAvailable(true);
  for (const json& list :
       {json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}), json::array({json::object()})}) {
    calls.clear();
    sparkler->setUpdates(std::make_shared<const json>(list));
    EXPECT_TRUE(sparkler->update(handler));
    ASSERT_TRUE(loop->waitForPost());
    EXPECT_EQ(loop->runPosted(), 1u);
    EXPECT_EQ(calls, (Calls{{false, true}})) << list;
  }
  EXPECT_EQ(loop->runPosted(), 0u);
  EXPECT_EQ(sparkler->lastError()->code, SparklerErrc::newestEntryInvalid);
}

// --- Configuration, progress, conditional requests ----------------------------------------

// Another app's bundle anywhere: its identity, version, name and cache come from its own
// Info.plist. What is missing or unusable is refused with its cause, in the log too.
TEST_F(UpdaterTest, ConfigurationDefaultsComeFromTheBundleAndUnusableOnesSayWhy) {
  SparklerConfiguration hello;
  hello.manifestURL = server.url("/hello/_.json");
  hello.bundle = testing::makeTestBundle(home.temporary() / "x", "Hello", "2.1.0", "org.hello");
  auto updater = Sparkler::create(hello);
  ASSERT_TRUE(updater);
  const auto filled = updater->configuration();
  EXPECT_EQ(filled.identifier, "org.hello");
  EXPECT_EQ(filled.name, "Hello");
  EXPECT_EQ(filled.cacheFolder, home.dataHome() / "org.hello/updates/software");
  EXPECT_TRUE(updater->currentVersion()->isEqual(*Version::versionWithString("2.1.0")));
  EXPECT_EQ(takeLog(), Names{});

  const fs::path bare = home.temporary() / "Bare.app";
  fs::create_directories(bare / "Contents");
  testing::writeFile(bare / "Contents/Info.plist",
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict></dict></plist>");
  const auto unusable = [&](auto change, std::string_view cause) {
    SparklerConfiguration c = hello;
    change(c);
    SparklerError error;
    takeLog();
    EXPECT_EQ(Sparkler::create(c, {}, &error), nullptr) << cause;
    EXPECT_EQ(error.code, SparklerErrc::unusableConfiguration);
    EXPECT_TRUE(contains(error.message, cause)) << error.message;
    const Names logged = takeLog();
    EXPECT_NE(
        std::find(logged.begin(), logged.end(), "Cannot configure the updater: " + error.message),
        logged.end());
  };
  unusable([](auto& c) { c.manifestURL = "http://127.0.0.1/_.json"; }, "is not an https URL");
  // Every problem is told, not only the first.
  unusable([&](auto& c) { c.bundle = bare; }, "no identifier: none is configured and " +
                                                  (bare / "Contents/Info.plist").string() +
                                                  " has no CFBundleIdentifier; no version");
  unusable(
      [&](auto& c) { c.bundle = home.temporary() / "Missing.app"; },
      "there is no readable " + (home.temporary() / "Missing.app/Contents/Info.plist").string());
  unusable([&](auto& c) { c.bundle = bare, c.identifier = "org.bare"; }, "no version");
  unusable(
      [&](auto& c) {
        c.bundle = bare, c.identifier = "org.bare",
        c.currentVersion = Version::versionWithString("1.0");
      },
      "no name");
  unusable([](auto& c) { c.identifier = "../evil"; }, "cannot name a folder");
  unusable([](auto& c) { c.checkInterval = std::chrono::seconds(0); }, "interval");
  unusable([](auto& c) { c.maximumSize = 0; }, "maximum update size");
  unusable([&](auto& c) { c.extraCAFile = home.temporary() / "missing.pem"; }, "CA file");
}

// Hands a body over in small pieces, the clock moving on a millisecond for each.
class PieceFetcher final : public URLFetcher {
 public:
  URLLoader::Result fetch(std::string_view, const URLLoader::Limits&, const URLLoader::Options&,
                          const Sink& sink) override {
    for (std::size_t at = 0; at < body.size(); at += 100) {
      now += 0.001;
      if (!sink(std::string_view(body).substr(at, 100))) return URLLoader::Result::failure("stop");
    }
    URLLoader::Result result;
    result.status = 200;
    return result;
  }
  std::string body;
  double now = 0;
};

TEST_F(UpdaterTest, ProgressArrivesOnTheMainLoopAtMostTenTimesASecond) {
  auto fetcher = std::make_shared<PieceFetcher>();
  fetcher->body = image;  // 1,000 pieces over one second
  std::vector<SparklerProgress> heard;
  auto c = configuration();
  c.progress = [&](const SparklerProgress& progress) { heard.push_back(progress); };
  auto updater = Sparkler::create(
      c, {.mainLoop = loop, .fetcher = fetcher, .clock = [fetcher] { return fetcher->now; }});
  ASSERT_TRUE(updater->download(entry("1.0.1", "Tove-1.0.1.dmg", image)));
  EXPECT_TRUE(heard.empty());
  loop->runPosted();
  using Phase = SparklerProgress::Phase;
  ASSERT_GE(heard.size(), 4u);
  EXPECT_LE(heard.size(), 13u);
  EXPECT_TRUE(heard.front().phase == Phase::Downloading && heard.front().bytes == 0 &&
              heard.front().expected == image.size());
  const auto& last = heard[heard.size() - 2];
  EXPECT_TRUE(last.phase == Phase::Downloading && last.bytes == image.size());
  EXPECT_EQ(heard.back().phase, Phase::Verified);
  for (std::size_t i = 1; i + 1 < heard.size(); ++i) EXPECT_LE(heard[i - 1].bytes, heard[i].bytes);
}

// An unchanged manifest costs no body: the check goes on with the list it has, down to the
// cache. Validators the client must not keep are not sent back.
TEST_F(UpdaterTest, UnchangedManifestKeepsTheUpdatesAndGoesOnToTheCache) {
  server.putFile(imagePath("Tove-1.0.1.dmg"), image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  server.setEntityTag(kManifestPath, "\"v1\"");
  EXPECT_TRUE(completedCheck());
  const auto first = sparkler->updates();
  fs::remove(folder / "Tove-1.0.1.dmg");
  server.putFile(kManifestPath, "not even JSON: never sent again");
  EXPECT_TRUE(completedCheck());
  EXPECT_EQ(sparkler->updates(), first);
  EXPECT_EQ(server.requestCount(imagePath("Tove-1.0.1.dmg")), 2u);

  // A new tag sends the new manifest, whose unreadable body drops the validators with it.
  server.setEntityTag(kManifestPath, "\"v2\"");
  expectFailure(SparklerErrc::manifestUnreadable, "not JSON");
  server.setEntityTag(kManifestPath, "\"v1\"");
  expectFailure(SparklerErrc::manifestUnreadable, "not JSON");

  const std::string longTag(URLLoader::kMaximumValidatorLength + 1, 't');
  publish(json::array({entry("1.0.0", "Tove-1.0.0.dmg", image)}));
  server.setEntityTag(kManifestPath, longTag);
  EXPECT_FALSE(completedCheck());
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  EXPECT_TRUE(completedCheck());  // sent no tag, so the new manifest came
}

// --- The check chain, timers and the run loop ---------------------------------------------

TEST_F(UpdaterTest, SharedUpdaterIsConfiguredOnceAndEachCheckArmsTheNextOnTheMonotonicClock) {
  EXPECT_EQ(Sparkler::init(), nullptr);
  EXPECT_EQ(Sparkler::initialize(std::nullopt), nullptr);
  auto shared = Sparkler::sparkler();
  EXPECT_FALSE(shared->manifest());
  Bundle::overrideMainBundlePath(bundle);
  ASSERT_TRUE(URLLoader::setExtraCAFile(server.caFile()));

  server.putFile(imagePath("Tove-1.0.1.dmg"), image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  fs::remove_all(folder);
  MonotonicClock::setForTesting(1000.0);
  EXPECT_EQ(Sparkler::initialize(server.url(kManifestPath)), shared);
  EXPECT_EQ(*shared->folder(), folder.string());
  // The first check already found the folder and stored the image in it.
  ASSERT_TRUE(loop->waitForPost());
  EXPECT_TRUE(shared->updateAvailable());
  EXPECT_EQ(namesIn(folder), Names{"Tove-1.0.1.dmg"});
  MonotonicClock::setForTesting(1010.0);
  EXPECT_EQ(loop->runPosted(), 1u);
  EXPECT_EQ(loop->timerDelays(), std::vector<double>{290.0});

  // The timer's check runs even when the manifest cannot be read, and still arms the next.
  server.setFault(kManifestPath, Fault::TruncatedBody);
  ASSERT_TRUE(loop->fireTimer());
  ASSERT_TRUE(loop->waitForPost());
  EXPECT_FALSE(shared->updateAvailable());
  EXPECT_EQ(shared->lastError()->code, SparklerErrc::manifestUnreachable);
  MonotonicClock::setForTesting(1100.0);  // 90 s after it started: the shortest wait
  loop->runPosted();
  EXPECT_EQ(loop->timerDelays(), (std::vector<double>{290.0, 240.0}));

  // A later manifest is ignored and starts no second chain.
  EXPECT_EQ(Sparkler::initialize(server.url("/other.json")), shared);
  EXPECT_EQ(*shared->manifest(), server.url(kManifestPath));
  EXPECT_FALSE(loop->waitForPost(MainLoop::Seconds(0)));
  EXPECT_EQ(loop->pendingTimers(), 1u);
}

// An updater of its own runs its chain on its own loop and clock, at its own interval.
TEST_F(UpdaterTest, StartedUpdaterChecksOnItsOwnLoopAndClockEveryInterval) {
  auto own = std::make_shared<testing::ManualMainLoop>();
  std::atomic<double> now{50.0};
  auto c = configuration();
  c.checkInterval = std::chrono::seconds(60);
  auto updater = Sparkler::create(c, {.mainLoop = own, .clock = [&now] { return now.load(); }});
  publish(json::array({entry("1.0.0", "a.dmg", image)}));
  fs::remove_all(folder);
  updater->start();
  ASSERT_TRUE(own->waitForPost());
  EXPECT_TRUE(fs::is_directory(folder));
  now = 60.0;
  EXPECT_EQ(own->runPosted(), 1u);
  EXPECT_EQ(own->timerDelays(), std::vector<double>{50.0});
  ASSERT_TRUE(own->fireTimer());
  ASSERT_TRUE(own->waitForPost());
  now = 200.0;
  EXPECT_EQ(own->runPosted(), 1u);
  EXPECT_EQ(own->timerDelays(), (std::vector<double>{50.0, 48.0}));
  updater->start();  // once only
  EXPECT_FALSE(own->waitForPost(MainLoop::Seconds(0)));
  EXPECT_EQ(server.requestCount(kManifestPath), 2u);
  EXPECT_EQ(loop->runPosted() + loop->pendingTimers(), 0u);
}

// Quitting returns from main while workers are inside libcurl and OpenSSL: no crash at exit.
TEST(ExitTest, ReturningFromMainWhileWorkersFetchAndHashEndsCleanly) {
  HttpsServer server;
  ASSERT_TRUE(server.ok());
  server.putFile("/body", std::string(200'000, 'b'));
  for (int run = 0; run < 12; ++run) {
    const auto result = test::DiskImageRun::runProgram(
        TOVE_TEST_UPDATER_CHILD, {"exit-during-work", server.url("/body"), server.caFile()});
    ASSERT_TRUE(result.succeeded()) << "run " << run << ": status " << result.status;
  }
}

}  // namespace
}  // namespace sparkler
