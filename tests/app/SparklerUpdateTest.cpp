#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "AppTestSupport.h"
#include "tove/Bundle.h"
#include "tove/DMGExtractor.h"
#include "tove/Dispatch.h"
#include "tove/Sparkler.h"
#include "tove/testing/ManualMainLoop.h"
#include "tove/testing/TempDir.h"
#include "tove/testing/TempHome.h"

namespace tove {
namespace {

namespace fs = std::filesystem;

// The shared updater set by hand to the state a check leaves behind, a test bundle as the
// running one, and a main loop whose posted calls the test runs on its own thread.
class SparklerUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle = testing::makeAppBundle(dir.path(), "1.0.0");
    ASSERT_FALSE(bundle.empty());
    Bundle::overrideMainBundlePath(bundle);
    DMGExtractor::setToolPath(TOVE_HDIUTIL_PATH);
    dispatch::setMainLoop(loop);
    fs::create_directories(cache);
    sparkler->setFolder(std::make_shared<const std::string>(cache.string()));
    sparkler->setUpdates(nullptr);
    sparkler->setUpdateAvailable(false);
  }

  void TearDown() override {
    sparkler->setUpdateAvailable(false);
    sparkler->setUpdates(nullptr);
    dispatch::setMainLoop(nullptr);
    DMGExtractor::setToolPath(std::nullopt);
    Bundle::overrideMainBundlePath(std::nullopt);
  }

  // Puts `bytes` into the cache as the image of 1.0.1 and offers it as the newest update.
  fs::path offer(const std::string& bytes) {
    const fs::path image = cache / "Tove-1.0.1.dmg";
    EXPECT_TRUE(testing::writeFile(image, bytes));
    sparkler->setUpdates(std::make_shared<const nlohmann::json>(
        nlohmann::json::array({{{"version", "0.9"}}, testing::entryFor(image, "1.0.1")})));
    sparkler->setUpdateAvailable(true);
    return image;
  }

  std::function<void(bool)> recorder() {
    return [this](bool outcome) { calls.emplace_back(outcome, std::this_thread::get_id()); };
  }

  // Serves the main loop until the job has posted its call, then shows nothing else is due.
  void finishJob() {
    ASSERT_TRUE(loop->waitForPost());
    EXPECT_EQ(loop->runPosted(), 1u);
    EXPECT_EQ(loop->runPosted(), 0u);
  }

  using Calls = std::vector<std::pair<bool, std::thread::id>>;
  Calls callsWith(bool outcome) { return {{outcome, std::this_thread::get_id()}}; }

  testing::TempHome home;
  testing::TempDir dir;
  fs::path cache = dir.path() / "cache";
  fs::path bundle;
  std::shared_ptr<testing::ManualMainLoop> loop = std::make_shared<testing::ManualMainLoop>();
  std::shared_ptr<Sparkler> sparkler = Sparkler::sparkler();
  Calls calls;
};

TEST_F(SparklerUpdateTest, WithoutAHandlerNothingRunsAndWithoutAnUpdateNoComesAtOnce) {
  offer("image");
  EXPECT_FALSE(sparkler->update({}));
  EXPECT_EQ(loop->runPosted(), 0u);

  sparkler->setUpdateAvailable(false);
  EXPECT_FALSE(sparkler->update(recorder()));
  EXPECT_EQ(calls, callsWith(false));
  EXPECT_EQ(loop->runPosted(), 0u);
}

// A removed image, a broken entry or an image that cannot be extracted: one NO, on the main
// loop, and the bundle as it was.
TEST_F(SparklerUpdateTest, EveryFailureGivesExactlyOneNoOnTheMainLoopAndKeepsTheBundle) {
  const auto before = testing::snapshot(bundle);
  fs::remove(offer("image"));
  EXPECT_TRUE(sparkler->update(recorder()));
  finishJob();
  EXPECT_EQ(calls, callsWith(false));

  for (auto broken : {nlohmann::json::array({nlohmann::json::object()}),
                      nlohmann::json::array({{{"version", "1.0.1"}, {"name", "../Tove.dmg"}}})}) {
    calls.clear();
    sparkler->setUpdates(std::make_shared<const nlohmann::json>(broken));
    EXPECT_TRUE(sparkler->update(recorder()));
    finishJob();
    EXPECT_EQ(calls, callsWith(false)) << broken.dump();
  }

  calls.clear();
  const fs::path image = offer(std::string(8192, '\0'));
  EXPECT_TRUE(sparkler->update(recorder()));
  finishJob();
  EXPECT_EQ(calls, callsWith(false));
  EXPECT_TRUE(fs::exists(image));
  EXPECT_EQ(testing::snapshot(bundle), before);
}

}  // namespace
}  // namespace tove
