#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

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
#include "tove/testing/SparklerTesting.h"
#include "tove/testing/TempHome.h"
#include "tove/testing/TestBundle.h"

namespace fs = std::filesystem;
using nlohmann::json;
using tove::testing::HttpsServer;
using tove::testing::readFile;

namespace tove {
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
    Bundle::overrideMainBundlePath(
        testing::makeTestBundle(home.temporary(), "Tove", version, kIdentifier));
  }

  void publish(const json& manifest) { server.putFile(kManifestPath, manifest.dump()); }
  void publishImage(std::string_view name, const std::string& image) {
    server.putFile(imagePath(name), image);
  }
  static std::string imagePath(std::string_view name) {
    return "/assets/Tove/software/mac/" + std::string(name);
  }
  std::vector<std::string> folderNames() const {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(folder)) names.push_back(item.path().filename());
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

TEST_F(UpdaterTest, NewerVersionIsStoredServedFromTheCacheAndKeptBesideLaterOnes) {
  const std::string newer = imageBytes(90'000, 3);
  publishImage("Tove-1.0.1.dmg", image);
  publishImage("Tove-1.0.2.dmg", newer);
  publish(json::array(
      {entry("1.0.0", "Tove-1.0.0.dmg", "old"), entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), image);
  EXPECT_EQ(folderNames(), std::vector<std::string>{"Tove-1.0.1.dmg"});
  EXPECT_EQ(sparkler->latestVersion()->description(), "1.0.1");
  EXPECT_EQ(sparkler->updates()->size(), 2u);

  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(server.requestCount(imagePath("Tove-1.0.1.dmg")), 1u);
  EXPECT_EQ(sparkler->cachedPath("Tove-1.0.1.dmg"), (folder / "Tove-1.0.1.dmg").string());

  publish(json::array(
      {entry("1.0.1", "Tove-1.0.1.dmg", image), entry("1.0.2", "Tove-1.0.2.dmg", newer)}));
  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(folderNames(), (std::vector<std::string>{"Tove-1.0.1.dmg", "Tove-1.0.2.dmg"}));
}

TEST_F(UpdaterTest, OnlyTheLastEntryCountsAndEqualOrZeroVersionsSeeNoUpdate) {
  publishImage("Tove-9.0.0.dmg", image);
  publish(json::array(
      {entry("9.0.0", "Tove-9.0.0.dmg", image), entry("1.0.0", "Tove-1.0.0.dmg", image)}));
  EXPECT_FALSE(sparkler->coreCheck());
  EXPECT_EQ(server.totalRequests(), 1u);
  EXPECT_EQ(sparkler->updates()->size(), 2u);

  useBundle("0.0");
  publish(json::array({entry("1.0.1", "Tove-9.0.0.dmg", image)}));
  EXPECT_FALSE(sparkler->coreCheck());
  EXPECT_EQ(server.requestCount(imagePath("Tove-9.0.0.dmg")), 0u);
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
}

// A server that misbehaves, or that the client cannot trust, gives no manifest at all.
TEST_F(UpdaterTest, ManifestFetchFailsOnSilenceEndlessBodiesErrorsPlainHttpAndStrangers) {
  publish(json::array({entry("1.0.0", "a.dmg", image)}));
  auto fetches = [](const std::string& url) {
    auto probe = SparklerTesting::make();
    SparklerTesting::setManifestOnly(*probe, url);
    EXPECT_FALSE(probe->coreCheck());
    return probe->updates() != nullptr;
  };
  server.setRedirect("/moved.json", server.url(kManifestPath));
  EXPECT_TRUE(fetches(server.url("/moved.json")));
  EXPECT_FALSE(fetches(server.url("/missing.json")));
  server.setRedirect("/plain.json",
                     "http://127.0.0.1:" + std::to_string(server.port()) + kManifestPath);
  EXPECT_FALSE(fetches(server.url("/plain.json")));
  for (auto fault : {HttpsServer::Fault::NeverAnswer, HttpsServer::Fault::EndlessBody}) {
    server.setFault(kManifestPath, fault);
    EXPECT_FALSE(fetches(server.url(kManifestPath))) << static_cast<int>(fault);
  }

  HttpsServer untrusted;
  untrusted.putFile(kManifestPath, json::array({entry("1.0.0", "a.dmg", image)}).dump());
  EXPECT_FALSE(fetches(untrusted.url(kManifestPath)));
  EXPECT_EQ(untrusted.totalRequests(), 0u);
}

// --- Entry checks and the cache ---------------------------------------------------------

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
  EXPECT_EQ(server.requestCount(imagePath("x.dmg")), 1u);
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

TEST_F(UpdaterTest, DamagedCachedCopiesAreRemovedAndReplacedWithinTheSameCheck) {
  publishImage("Tove-1.0.1.dmg", image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  testing::writeFile(folder / "Tove-1.0.1.dmg", image + 'x');
  EXPECT_TRUE(sparkler->coreCheck());
  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), image);
  EXPECT_EQ(server.requestCount(imagePath("Tove-1.0.1.dmg")), 1u);

  std::string other = image;
  other[500] ^= 1;
  testing::writeFile(folder / "Tove-1.0.1.dmg", other);
  EXPECT_FALSE(sparkler->cached(entry("1.0.1", "Tove-1.0.1.dmg", image)));
  EXPECT_FALSE(fs::exists(folder / "Tove-1.0.1.dmg"));

  // Digests are compared as lowercase hex: an uppercase one never matches.
  json upper = entry("1.0.1", "Tove-1.0.1.dmg", image);
  std::string hash = upper["hash"];
  std::transform(hash.begin(), hash.end(), hash.begin(), ::toupper);
  upper["hash"] = hash;
  testing::writeFile(folder / "Tove-1.0.1.dmg", image);
  EXPECT_FALSE(sparkler->cached(upper));
  EXPECT_FALSE(sparkler->download(upper));
  EXPECT_TRUE(folderNames().empty());
}

TEST_F(UpdaterTest, FailedDownloadsLeaveTheCacheAsItWas) {
  testing::writeFile(folder / "Tove-1.0.1.dmg", "older copy");
  json e = entry("1.0.1", "Tove-1.0.1.dmg", image);
  std::string wrong = image;
  wrong[0] ^= 1;
  for (const std::string& served : {wrong, image + "more"}) {
    publishImage("Tove-1.0.1.dmg", served);
    EXPECT_FALSE(sparkler->download(e));
  }
  publishImage("Tove-1.0.1.dmg", image);
  for (auto fault : {HttpsServer::Fault::TruncatedBody, HttpsServer::Fault::EndlessBody,
                     HttpsServer::Fault::NeverAnswer}) {
    server.setFault(imagePath("Tove-1.0.1.dmg"), fault);
    EXPECT_FALSE(sparkler->download(e)) << static_cast<int>(fault);
  }
  EXPECT_EQ(readFile(folder / "Tove-1.0.1.dmg"), "older copy");
  EXPECT_EQ(folderNames(), std::vector<std::string>{"Tove-1.0.1.dmg"});
}

// --- The check chain --------------------------------------------------------------------

TEST_F(UpdaterTest, EachCheckArmsTheNextOnTheMonotonicClock) {
  publishImage("Tove-1.0.1.dmg", image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  // What a killed download left an hour ago goes; a live one and other files stay.
  const auto hourAgo = fs::file_time_type::clock::now() - std::chrono::minutes(61);
  for (const char* name : {".sparkler-old.part", ".sparkler-live.part", "kept.part"}) {
    testing::writeFile(folder / name, "partial");
    if (name != std::string_view(".sparkler-live.part"))
      fs::last_write_time(folder / name, hourAgo);
  }
  MonotonicClock::setForTesting(1000.0);
  auto chained = SparklerTesting::make();
  chained->setFolder(sparkler->folder());
  chained->setManifest(server.url(kManifestPath));
  ASSERT_TRUE(loop->waitForPost());
  EXPECT_TRUE(chained->updateAvailable());
  EXPECT_EQ(folderNames(),
            (std::vector<std::string>{".sparkler-live.part", "Tove-1.0.1.dmg", "kept.part"}));
  MonotonicClock::setForTesting(1010.0);
  EXPECT_EQ(loop->runPosted(), 1u);
  EXPECT_EQ(loop->timerDelays(), std::vector<double>{290.0});

  // The timer's check runs even when the manifest cannot be read, and still arms the next.
  server.setFault(kManifestPath, HttpsServer::Fault::TruncatedBody);
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
}

TEST_F(UpdaterTest, SharedUpdaterIsConfiguredOnceWithItsFolderBeforeTheFirstCheck) {
  EXPECT_EQ(Sparkler::init(), nullptr);
  EXPECT_EQ(Sparkler::initialize(std::nullopt), nullptr);
  auto shared = Sparkler::sparkler();
  EXPECT_FALSE(shared->manifest());

  publishImage("Tove-1.0.1.dmg", image);
  publish(json::array({entry("1.0.1", "Tove-1.0.1.dmg", image)}));
  fs::remove_all(folder);
  EXPECT_EQ(Sparkler::initialize(server.url(kManifestPath)), shared);
  EXPECT_EQ(*shared->folder(), folder.string());
  ASSERT_TRUE(loop->waitForPost());
  // The first check already found the folder and stored the image in it.
  EXPECT_TRUE(shared->updateAvailable());
  EXPECT_TRUE(fs::exists(folder / "Tove-1.0.1.dmg"));

  EXPECT_EQ(Sparkler::initialize(server.url("/other.json")), shared);
  EXPECT_EQ(*shared->manifest(), server.url(kManifestPath));
  loop->runPosted();
  EXPECT_EQ(loop->pendingTimers(), 1u);
  EXPECT_EQ(server.requestCount("/other.json"), 0u);
}

// --- Timers and the run loop ------------------------------------------------------------

struct Counter {
  static inline int fired = 0;
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
  EXPECT_EQ(Counter::fired, 1);
}

// Quitting during a check returns from main while workers are inside libcurl and OpenSSL:
// the process must still end cleanly rather than crash in the libraries' exit clean-up.
TEST(ExitTest, ReturningFromMainWhileWorkersFetchAndHashEndsCleanly) {
  HttpsServer server;
  ASSERT_TRUE(server.ok());
  server.putFile("/body", std::string(200'000, 'b'));
  const std::string url = server.url("/body");
  const std::string ca = server.caFile().string();
  for (int run = 0; run < 12; ++run) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(TOVE_EXIT_CHILD_PATH), const_cast<char*>(url.c_str()),
                    const_cast<char*>(ca.c_str()), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, TOVE_EXIT_CHILD_PATH, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "run " << run << ": status " << status;
  }
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
