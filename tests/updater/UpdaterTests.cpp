#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tove/Bundle.h"
#include "tove/Checksum.h"
#include "tove/Dispatch.h"
#include "tove/MonotonicClock.h"
#include "tove/RunLoop.h"
#include "tove/Sparkler.h"
#include "tove/Timer.h"
#include "tove/URLLoader.h"
#include "tove/testing/HttpsServer.h"
#include "tove/testing/ManualMainLoop.h"
#include "tove/testing/TempHome.h"
#include "tove/testing/TestBundle.h"

namespace fs = std::filesystem;
using nlohmann::json;
using tove::testing::HttpsServer;

namespace tove {

struct SparklerTesting {
  static std::shared_ptr<Sparkler> make() { return std::shared_ptr<Sparkler>(new Sparkler()); }
  // The manifest without the check chain that setManifest starts.
  static void setManifestOnly(Sparkler& sparkler, std::string url) {
    std::lock_guard lock(sparkler.mutex_);
    sparkler.manifest_ = std::make_shared<const std::string>(std::move(url));
  }
};

namespace {

constexpr const char* kManifestPath = "/assets/Tove/software/mac/_.json";
constexpr const char* kIdentifier = "org.tove.Tove";

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

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.ok());
    useBundle("1.0.0");
    ASSERT_TRUE(URLLoader::setExtraCAFile(server.caFile()));
    URLLoader::setTimeouts({.connectSeconds = 5, .stallSeconds = 1, .totalSeconds = 30});
    dispatch::setMainLoop(loop);
    folder = home.dataHome() / kIdentifier / "updates" / "software";
    fs::create_directories(folder);
    sparkler->setFolder(std::make_shared<const std::string>(folder.string()));
    SparklerTesting::setManifestOnly(*sparkler, server.url(kManifestPath));
  }

  void TearDown() override {
    dispatch::setMainLoop(nullptr);
    loop->clear();
    Bundle::overrideMainBundlePath(std::nullopt);
    URLLoader::setExtraCAFile(std::nullopt);
    URLLoader::setTimeouts({});
    MonotonicClock::setForTesting(std::nullopt);
  }

  void useBundle(std::string_view version) {
    fs::remove_all(home.temporary() / "Tove.app");
    Bundle::overrideMainBundlePath(
        testing::makeTestBundle(home.temporary(), "Tove", version, kIdentifier));
  }

  void publish(const json& manifest) { server.putFile(kManifestPath, manifest.dump()); }
  void publishImage(std::string_view name, const std::string& image) {
    server.putFile("/assets/Tove/software/mac/" + std::string(name), image);
  }
  std::size_t imageRequests(std::string_view name) const {
    return server.requestCount("/assets/Tove/software/mac/" + std::string(name));
  }
  std::vector<std::string> folderNames() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) {
      names.push_back(item.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempHome home;
  HttpsServer server;
  std::shared_ptr<testing::ManualMainLoop> loop = std::make_shared<testing::ManualMainLoop>();
  std::shared_ptr<Sparkler> sparkler = SparklerTesting::make();
  fs::path folder;
  const std::string image = imageBytes(100'000, 7);
};

// --- The manifest check -----------------------------------------------------------------

TEST_F(UpdaterTest, NewerVersionIsDownloadedVerifiedStoredAndThenServedFromTheCache) {
  publishImage("Tove-1.0.1.dmg", image);
  publish(json::array(
      {entry("1.0.0", "Tove-1.0.0.dmg", "old"), entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), image);
  EXPECT_EQ(folderNames(), std::vector<std::string>{"Tove-1.0.1.dmg"});
  EXPECT_EQ(sparkler->latestVersion()->description(), "1.0.1");
  ASSERT_TRUE(sparkler->updates());
  EXPECT_EQ(sparkler->updates()->size(), 2u);

  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(imageRequests("Tove-1.0.1.dmg"), 1u);
  EXPECT_EQ(sparkler->cachedPath("Tove-1.0.1.dmg"), (folder / "Tove-1.0.1.dmg").string());
}

TEST_F(UpdaterTest, OnlyTheLastEntryCountsAndEqualVersionsAreUpToDate) {
  publishImage("Tove-9.0.0.dmg", image);
  publish(json::array(
      {entry("9.0.0", "Tove-9.0.0.dmg", image), entry("1.0.0", "Tove-1.0.0.dmg", image)}));
  EXPECT_FALSE(sparkler->coreCheck());
  EXPECT_EQ(server.totalRequests(), 1u);
  EXPECT_EQ(sparkler->updates()->size(), 2u);

  useBundle("0.0");
  publish(json::array({entry("1.0.1", "Tove-9.0.0.dmg", image)}));
  EXPECT_FALSE(sparkler->coreCheck());
  EXPECT_EQ(imageRequests("Tove-9.0.0.dmg"), 0u);
}

TEST_F(UpdaterTest, UnreadableOrMalformedManifestKeepsTheLastGoodUpdates) {
  publish(json::array({entry("1.0.0", "a.dmg", image)}));
  EXPECT_FALSE(sparkler->coreCheck());
  auto good = sparkler->updates();
  ASSERT_TRUE(good);

  const std::string bad[] = {
      "",
      "[]",
      "not json",
      "{\"version\": \"2.0.0\"}",
      "[{\"version\": \"1.0.0\"}, \"newest is a string\"]",
      "[{\"version\": 2, \"name\": \"a.dmg\"}]",
      "[{\"version\": \"2.0.0\", \"name\": [\"a.dmg\"]}]",
      "[{\"version\": \"2.0.0\", \"size\": \"100000\"}]",
      "[\"\xff\xfe\"]",
      std::string(200'000, '[') + std::string(200'000, ']'),
  };
  for (const auto& body : bad) {
    server.putFile(kManifestPath, body);
    EXPECT_FALSE(sparkler->coreCheck()) << body.substr(0, 60);
    EXPECT_EQ(sparkler->updates(), good) << body.substr(0, 60);
  }
  server.setFault(kManifestPath, HttpsServer::Fault::ServerError);
  EXPECT_FALSE(sparkler->coreCheck());
  EXPECT_EQ(sparkler->updates(), good);
}

// --- Entry checks -----------------------------------------------------------------------

TEST_F(UpdaterTest, SizeOutsideItsBoundsFailsBeforeAnyDiskOrNetworkAccess) {
  for (json size : {json(0), json(nullptr), json(50'000'001), json(-5), json("100000")}) {
    json e = entry("2.0.0", "x.dmg", image);
    if (size.is_null()) {
      e.erase("size");
    } else {
      e["size"] = size;
    }
    EXPECT_FALSE(sparkler->cached(e)) << size;
    EXPECT_FALSE(sparkler->download(e)) << size;
  }
  EXPECT_EQ(server.totalRequests(), 0u);

  json largest = entry("2.0.0", "x.dmg", image);
  largest["size"] = 50'000'000;
  EXPECT_FALSE(sparkler->download(largest));  // not on the server, but asked for
  EXPECT_EQ(imageRequests("x.dmg"), 1u);
}

TEST_F(UpdaterTest, NamesThatAreNotOnePlainFileNameNeverReachDiskOrNetwork) {
  server.putFile("/assets/Tove/evil.dmg", image);
  fs::create_directories(folder / "sub");
  for (std::string name : std::initializer_list<std::string>{
           "../evil.dmg", "../../../../evil.dmg", "sub/x.dmg", ".", "..", "",
           std::string("a\0b", 3), std::string(256, 'n')}) {
    json e = entry("2.0.0", name, image);
    EXPECT_FALSE(sparkler->download(e)) << name;
    EXPECT_FALSE(sparkler->cached(e)) << name;
    EXPECT_FALSE(sparkler->cachedPath(name)) << name;
  }
  EXPECT_EQ(server.totalRequests(), 0u);
  EXPECT_FALSE(fs::exists(folder.parent_path() / "evil.dmg"));

  // A plain name may still hold characters that need escaping in a URL.
  publishImage("Tove 1.0.1 #2.dmg", image);
  EXPECT_TRUE(sparkler->download(entry("2.0.0", "Tove 1.0.1 #2.dmg", image)));
  EXPECT_EQ(readFile(folder / "Tove 1.0.1 #2.dmg"), image);
}

// --- The cache --------------------------------------------------------------------------

TEST_F(UpdaterTest, DamagedCachedCopiesAreRemovedAndReplacedWithinTheSameCheck) {
  publishImage("Tove-1.0.1.dmg", image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  server.putFile("/unused", "");
  std::ofstream(folder / "Tove-1.0.1.dmg", std::ios::binary) << image << 'x';
  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), image);
  EXPECT_EQ(imageRequests("Tove-1.0.1.dmg"), 1u);

  std::string other = image;
  other[500] ^= 1;
  std::ofstream(folder / "Tove-1.0.1.dmg", std::ios::binary | std::ios::trunc) << other;
  EXPECT_FALSE(sparkler->cached(entry("1.0.1", "Tove-1.0.1.dmg", image)));
  EXPECT_FALSE(fs::exists(folder / "Tove-1.0.1.dmg"));
}

TEST_F(UpdaterTest, UppercaseHashNeverMatches) {
  json e = entry("1.0.1", "Tove-1.0.1.dmg", image);
  std::string upper = e["hash"];
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  ASSERT_NE(upper, e["hash"]);
  e["hash"] = upper;
  std::ofstream(folder / "Tove-1.0.1.dmg", std::ios::binary) << image;
  EXPECT_FALSE(sparkler->cached(e));
  EXPECT_FALSE(fs::exists(folder / "Tove-1.0.1.dmg"));
  publishImage("Tove-1.0.1.dmg", image);
  EXPECT_FALSE(sparkler->download(e));
  EXPECT_TRUE(folderNames().empty());
}

TEST_F(UpdaterTest, FailedDownloadsLeaveTheCacheAsItWas) {
  std::ofstream(folder / "Tove-1.0.1.dmg", std::ios::binary) << "older copy";
  json e = entry("1.0.1", "Tove-1.0.1.dmg", image);
  std::string wrong = image;
  wrong[0] ^= 1;
  publishImage("Tove-1.0.1.dmg", wrong);
  EXPECT_FALSE(sparkler->download(e));

  publishImage("Tove-1.0.1.dmg", image);
  for (auto fault : {HttpsServer::Fault::TruncatedBody, HttpsServer::Fault::StalledBody,
                     HttpsServer::Fault::EndlessBody, HttpsServer::Fault::NeverAnswer,
                     HttpsServer::Fault::ServerError}) {
    server.setFault("/assets/Tove/software/mac/Tove-1.0.1.dmg", fault);
    EXPECT_FALSE(sparkler->download(e)) << static_cast<int>(fault);
  }
  server.setFault("/assets/Tove/software/mac/Tove-1.0.1.dmg", HttpsServer::Fault::None);
  publishImage("Tove-1.0.1.dmg", image + "more");
  EXPECT_FALSE(sparkler->download(e));

  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), "older copy");
  EXPECT_EQ(folderNames(), std::vector<std::string>{"Tove-1.0.1.dmg"});
  EXPECT_EQ(sparkler->cachedPath("Tove-1.0.1.dmg"), (folder / "Tove-1.0.1.dmg").string());
  EXPECT_FALSE(sparkler->cachedPath("missing.dmg"));
}

TEST_F(UpdaterTest, OlderImagesStayBesideNewerOnes) {
  std::string newer = imageBytes(90'000, 3);
  publishImage("Tove-1.0.1.dmg", image);
  publishImage("Tove-1.0.2.dmg", newer);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  EXPECT_TRUE(sparkler->coreCheck());
  publish(json::array(
      {entry("1.0.1", "Tove-1.0.1.dmg", image), entry("1.0.2", "Tove-1.0.2.dmg", newer)}));
  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(folderNames(), (std::vector<std::string>{"Tove-1.0.1.dmg", "Tove-1.0.2.dmg"}));
}

// --- What a real server does wrong ------------------------------------------------------

TEST_F(UpdaterTest, ManifestFetchFailsOnSilenceEndlessBodiesPlainHttpAndUntrustedServers) {
  publish(json::array({entry("1.0.0", "a.dmg", image)}));
  server.setFault(kManifestPath, HttpsServer::Fault::NeverAnswer);
  EXPECT_FALSE(sparkler->coreCheck());
  server.setFault(kManifestPath, HttpsServer::Fault::EndlessBody);
  EXPECT_FALSE(sparkler->coreCheck());
  EXPECT_FALSE(sparkler->updates());

  // Redirects are followed, but only to https.
  server.setFault(kManifestPath, HttpsServer::Fault::None);
  server.setRedirect("/moved.json", server.url(kManifestPath));
  SparklerTesting::setManifestOnly(*sparkler, "");
  auto other = SparklerTesting::make();
  other->setFolder(sparkler->folder());
  SparklerTesting::setManifestOnly(*other, server.url("/moved.json"));
  EXPECT_FALSE(other->coreCheck());
  EXPECT_TRUE(other->updates());

  auto plain = SparklerTesting::make();
  server.setRedirect("/plain.json",
                     "http://127.0.0.1:" + std::to_string(server.port()) + kManifestPath);
  SparklerTesting::setManifestOnly(*plain, server.url("/plain.json"));
  EXPECT_FALSE(plain->coreCheck());
  EXPECT_FALSE(plain->updates());

  HttpsServer untrusted;
  untrusted.putFile(kManifestPath, json::array({entry("1.0.0", "a.dmg", image)}).dump());
  auto stranger = SparklerTesting::make();
  SparklerTesting::setManifestOnly(*stranger, untrusted.url(kManifestPath));
  EXPECT_FALSE(stranger->coreCheck());
  EXPECT_EQ(untrusted.totalRequests(), 0u);
}

// --- The check chain --------------------------------------------------------------------

TEST_F(UpdaterTest, EachCheckArmsTheNextOnTheMonotonicClock) {
  publishImage("Tove-1.0.1.dmg", image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  MonotonicClock::setForTesting(1000.0);
  SparklerTesting::setManifestOnly(*sparkler, "");
  auto chained = SparklerTesting::make();
  chained->setFolder(sparkler->folder());
  chained->setManifest(server.url(kManifestPath));
  ASSERT_TRUE(loop->waitForPost());
  EXPECT_TRUE(chained->updateAvailable());
  MonotonicClock::setForTesting(1010.0);
  EXPECT_EQ(loop->runPosted(), 1u);
  EXPECT_EQ(loop->timerDelays(), std::vector<double>{290.0});

  // The timer's check runs even when the manifest is gone, and still arms the next one.
  server.setFault(kManifestPath, HttpsServer::Fault::ServerError);
  ASSERT_TRUE(loop->fireTimer());
  ASSERT_TRUE(loop->waitForPost());
  EXPECT_FALSE(chained->updateAvailable());
  EXPECT_TRUE(chained->updates());
  MonotonicClock::setForTesting(1070.0);
  loop->runPosted();
  EXPECT_EQ(loop->timerDelays(), (std::vector<double>{290.0, 240.0}));
  EXPECT_EQ(loop->pendingTimers(), 1u);

  // A later manifest is ignored and starts no second chain.
  chained->setManifest(server.url("/other.json"));
  EXPECT_EQ(*chained->manifest(), server.url(kManifestPath));
  EXPECT_FALSE(loop->waitForPost(MainLoop::Seconds(0)));
  loop->clear();
}

TEST_F(UpdaterTest, SharedUpdaterIsConfiguredOnceWithItsFolderBeforeTheFirstCheck) {
  EXPECT_EQ(Sparkler::init(), nullptr);
  EXPECT_EQ(Sparkler::initialize(std::nullopt), nullptr);
  auto shared = Sparkler::sparkler();
  EXPECT_FALSE(shared->manifest());
  EXPECT_FALSE(shared->folder());

  publishImage("Tove-1.0.1.dmg", image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  fs::remove_all(folder);
  EXPECT_EQ(Sparkler::initialize(server.url(kManifestPath)), shared);
  EXPECT_EQ(*shared->folder(), folder.string());
  EXPECT_TRUE(fs::is_directory(folder));
  ASSERT_TRUE(loop->waitForPost());
  // The first check already found the folder and stored the image in it.
  EXPECT_TRUE(shared->updateAvailable());
  EXPECT_TRUE(fs::exists(folder / "Tove-1.0.1.dmg"));

  EXPECT_EQ(Sparkler::initialize(server.url("/other.json")), shared);
  EXPECT_EQ(*shared->manifest(), server.url(kManifestPath));
  loop->runPosted();
  EXPECT_EQ(loop->pendingTimers(), 1u);
  EXPECT_EQ(server.requestCount("/other.json"), 0u);
  loop->clear();
}

// --- Timers and the run loop ------------------------------------------------------------

struct Counter {
  int fired = 0;
  void tick() { ++fired; }
};

TEST_F(UpdaterTest, TimerKeepsItsTargetUntilItFiresAndNeedsAnAction) {
  EXPECT_EQ(Timer::scheduledTimer(1.0, std::make_shared<Counter>(), nullptr), nullptr);
  EXPECT_EQ(Timer::scheduledTimer<Counter>(1.0, std::make_shared<Counter>(), nullptr), nullptr);
  EXPECT_EQ(loop->pendingTimers(), 0u);

  auto counter = std::make_shared<Counter>();
  std::weak_ptr<Counter> watch = counter;
  EXPECT_TRUE(Timer::scheduledTimer(2.5, std::move(counter), &Counter::tick));
  EXPECT_FALSE(watch.expired());
  EXPECT_TRUE(loop->fireTimer());
  EXPECT_TRUE(watch.expired());

  auto repeating = std::make_shared<Counter>();
  auto timer = Timer::scheduledTimer(1.0, repeating, &Counter::tick, true);
  loop->fireTimer();
  loop->fireTimer();
  EXPECT_EQ(repeating->fired, 2);
  timer->invalidate();
  EXPECT_EQ(repeating.use_count(), 1);
  loop->fireTimer();
  EXPECT_EQ(repeating->fired, 2);
  EXPECT_EQ(loop->pendingTimers(), 0u);
}

TEST(RunLoopTest, ServesWorkPostedFromWorkerThreadsAndTimersByDueTime) {
  auto runLoop = std::make_shared<RunLoop>();
  dispatch::setMainLoop(runLoop);
  std::vector<int> order;
  runLoop->postAfter(MainLoop::Seconds(0.2), [&] { order.push_back(3); });
  runLoop->postAfter(MainLoop::Seconds(0), [&] { order.push_back(2); });
  dispatch::async(dispatch::Priority::Low,
                  [&] { dispatch::asyncMain([&] { order.push_back(1); }); });
  EXPECT_TRUE(runLoop->runUntil([&] { return order.size() == 3; }, MainLoop::Seconds(30)));
  std::sort(order.begin(), order.end() - 1);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  runLoop->post([&] { runLoop->stop(); });
  runLoop->run();
  dispatch::setMainLoop(nullptr);
}

}  // namespace
}  // namespace tove
