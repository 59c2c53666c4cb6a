#include "sparkler/DMGExtractor.h"

#include <regex>

#include "sparkler/Bundle.h"
#include "sparkler/testing/DiskImages.h"

namespace sparkler::test {
namespace {

TEST(AttachGrammarTest, ReadsTheFirstPartitionLineBelowVolumes) {
  EXPECT_FALSE(MountInfo::infoWithDisk("", "/Volumes/X"));
  EXPECT_FALSE(MountInfo::infoWithDisk("disk4s1", ""));
  const std::string whole = "/dev/disk4\tGUID_partition_scheme\t\n";
  // Attach output and the partition and mount point read from it.
  for (const auto& [output, found] : std::vector<std::pair<std::string, std::string>>{
           {"/dev/disk4s1\tApple_HFS\t/Volumes/Example", "disk4s1 /Volumes/Example"},
           {"/dev/disk4s1   Apple_HFS      /Volumes/Example", "disk4s1 /Volumes/Example"},
           {"/dev/disk4s1 \t Apple_HFS\t  /Volumes/Example", "disk4s1 /Volumes/Example"},
           {whole + "/dev/disk12s1\tApple_HFS\t/Volumes/Tove 1.0 (new)  ",
            "disk12s1 /Volumes/Tove 1.0 (new)  "},
           {whole + "/dev/disk4s1\tApple_HFS\t/Volumes/First\n/dev/disk5s1\tApple_HFS\t/Volumes/B",
            "disk4s1 /Volumes/First"},
           // A user's own folder of mount points, read only when no line names /Volumes.
           {whole + "/dev/disk6s1\tApple_HFS\t/run/user/1000/Volumes/Tove 1",
            "disk6s1 /run/user/1000/Volumes/Tove 1"},
           {"/dev/disk6s1\tApple_HFS\t/run/user/1000/Volumes/A\n/dev/disk4s1\tApple_HFS\t/Volumes/"
            "B",
            "disk4s1 /Volumes/B"},
           // Whole disks, other types and other folders are passed over.
           {whole + "/dev/disk4s1\tEFI\t/Volumes/EFI\n/dev/disk4s2\tApple_HFSX\t/Volumes/Case\n"
                    "/dev/disk4\tApple_HFS\t/Volumes/Whole\n/dev/disk4s3\tApple_HFS\t/mnt/Else\n"
                    " /dev/disk4s4\tApple_HFS\t/Volumes/Indented\n"
                    "/dev/disk4s5\tApple_HFS\trun/Volumes/Relative\n"
                    "/dev/disk4s6\tApple_HFS\t/run/MyVolumes/Else",
            ""},
           {"", ""}}) {
    const auto info = DMGExtractor::mountInfoFromOutput(output);
    EXPECT_EQ(info ? info->disk() + " " + info->root() : "", found) << output;
  }
}

// A stand-in for the tool: a script that logs its arguments one per line and answers attach
// with `output` and `status`.
class FakeToolTest : public DiskImageTest {
 protected:
  fs::path log = work / "tool.log";

  void makeTool(const std::string& output, int status) {
    const fs::path tool = work / "fake tool's dir" / "hdiutil";
    writeFile(tool,
              "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + log.string() +
                  "'\n[ \"$1\" = attach ] && printf '" + output + "' && exit " +
                  std::to_string(status) + "\nexit 0\n",
              fs::perms::owner_all);
    DMGExtractor::setToolPath(tool.string());
  }
};

TEST_F(FakeToolTest, RunsTheToolWithOneArgumentPerValueOnlyForWhatItCanDoAndTrustsStatusZero) {
  makeTool("/dev/disk7s1\\tApple_HFS\\t/Volumes/A\\n", 1);
  EXPECT_FALSE(DMGExtractor::mount(""));
  DMGExtractor::eject("");
  EXPECT_FALSE(DMGExtractor::extract("", "/x.dmg", "/tmp/d"));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", "", "/tmp/d"));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", "/x.dmg", ""));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/..", "/x.dmg", "/tmp/d"));
  EXPECT_FALSE(DMGExtractor::extract("./", "/x.dmg", "/tmp/d"));
  EXPECT_FALSE(fs::exists(log));
  // A non-zero exit is a failure even with a matching line.
  EXPECT_FALSE(DMGExtractor::mount("/x.dmg"));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", "/x.dmg", "/tmp/d"));
  EXPECT_EQ(lines(readFile(log)), (std::vector<std::string>{"attach", "/x.dmg", "-nobrowse",
                                                            "attach", "/x.dmg", "-nobrowse"}));

  fs::remove(log);
  makeTool("/dev/disk7\\tGUID_partition_scheme\\t\\n/dev/disk7s1\\tApple_HFS\\t/Volumes/A B\\n", 0);
  const std::string image = (work / "an \"odd\" 'name'.dmg").string();
  const auto info = DMGExtractor::mount(image);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->disk() + " " + info->root(), "disk7s1 /Volumes/A B");
  DMGExtractor::eject(info->disk());
  EXPECT_EQ(lines(readFile(log)),
            (std::vector<std::string>{"attach", image, "-nobrowse", "detach", "disk7s1"}));
}

// The tool comes from what a developer or test names, else from the bundle, else from the
// installed place; never from the build tree, which a user's machine may not have or another
// user may create.
TEST_F(FakeToolTest, TheToolIsTheNamedOneOrTheBundlesNeverOneFromTheBuildTree) {
  DMGExtractor::setToolPath(std::nullopt);
  const fs::path bundle = sparkler::testing::makeTestBundle(work, "Tove", "1.0.0", "org.tove.Tove");
  Bundle::overrideMainBundlePath(bundle);
  ::setenv("SPARKLER_HDIUTIL", "/named/by/a/developer", 1);
  EXPECT_EQ(DMGExtractor::toolPath(), "/named/by/a/developer");
  ::unsetenv("SPARKLER_HDIUTIL");
  const std::string installed = DMGExtractor::toolPath();
  EXPECT_TRUE(installed.empty() || installed.front() == '/') << installed;
  EXPECT_EQ(installed.find(fs::path(DiskImageRun::tool()).parent_path().string()),
            std::string::npos);
  writeFile(bundle / "Contents/Helpers/hdiutil", "#!/bin/sh\n", fs::perms(0755));
  EXPECT_EQ(DMGExtractor::toolPath(), (bundle / "Contents/Helpers/hdiutil").string());
  Bundle::overrideMainBundlePath(std::nullopt);
}

class ExtractTest : public DiskImageTest {
 protected:
  // The update as its maker publishes it, from a build folder not named Tove.app.
  fs::path newContents = work / "build" / "Tove 1.0.1.app" / "Contents";
  fs::path image = work / "out 'images'" / "Tove-1.0.1.dmg";
  fs::path bundle = work / "installed" / "Tove.app";  // the running bundle to update
  std::vector<std::string> logged;

  void SetUp() override {
    requireMounting();
    makeApp(work / "build", "1.0.1", "Tove", "Tove 1.0.1");
    const auto published = publish(newContents.parent_path(), "1.0.1", image.parent_path());
    ASSERT_EQ(published.status, 0) << published.error;
    makeApp(bundle.parent_path(), "1.0.0");
    writeFile(bundle / "Contents/Resources/only-in-old", "old", fs::perms(0644));
    DMGExtractor::setToolPath(DiskImageRun::tool());
    // Each line notes whether the image was still attached when it was logged.
    Log::setSink([this](std::string_view line) {
      logged.push_back(std::string(line) + (run.records().empty() ? " [detached]" : " [attached]"));
    });
  }
};

// A destination given with or without a trailing "/" or missing is the target; without one, a
// fresh temporary folder is.
TEST_F(ExtractTest, ReplacesTheBundleContentsFromTheImageAndDetaches) {
  const fs::path nested = work / "new" / "nested" / "Tove.app";
  for (const auto& [destination, target] : {std::pair{bundle.string(), bundle},
                                            {bundle.string() + "/", bundle},
                                            {nested.string(), nested}}) {
    SCOPED_TRACE(destination);
    const auto result = DMGExtractor::extract("Tove.app/Contents", image.string(), destination);
    EXPECT_EQ(result, (target / "Contents").string());
    EXPECT_EQ(snapshot(newContents), snapshot(target / "Contents"));
  }
  const fs::path temporary = DMGExtractor::extract("Tove.app", image.string()).value_or("");
  EXPECT_EQ(temporary.filename(), "Tove.app");
  EXPECT_EQ(temporary.parent_path().parent_path(), Folders::temporary());
  EXPECT_EQ(snapshot(newContents), snapshot(temporary / "Contents"));
  fs::remove_all(temporary.parent_path());
  EXPECT_TRUE(logged.empty());
}

// Failures leave the destination alone. Only the replacement logs, while the image is attached:
// a missing item with its cause, a relative destination without one.
TEST_F(ExtractTest, FailuresLeaveTheDestinationAloneAndOnlyAReplacementLogsWhileAttached) {
  const auto before = snapshot(bundle);
  writeFile(work / "a file", "keep me", fs::perms(0644));
  writeFile(work / "corrupt.dmg", readFile(image).substr(0, 200), fs::perms(0644));
  EXPECT_FALSE(DMGExtractor::mount((work / "corrupt.dmg").string()));
  EXPECT_TRUE(logged.empty());
  const fs::path previous = fs::current_path();
  fs::current_path(work);
  // The item, image and destination, and the lines logged.
  const std::tuple<std::string, fs::path, std::string, std::string> cases[] = {
      {"Tove.app/Nothing", image, bundle, "ERROR : (?!\\(null\\)).+ \\[attached\\]\n"},
      {"Tove.app/Contents", image, "relative/Tove.app", "ERROR : \\(null\\) \\[attached\\]\n"},
      {"Tove.app/Contents", image, work / "a file", ""},
      {"Tove.app/Contents", work / "corrupt.dmg", bundle, ""}};
  for (const auto& [item, from, destination, log] : cases) {
    SCOPED_TRACE(item + " " + from.string() + " " + destination);
    logged.clear();
    EXPECT_FALSE(DMGExtractor::extract(item, from.string(), destination));
    std::string text;
    for (const auto& line : logged) text += line + "\n";
    EXPECT_TRUE(std::regex_match(text, std::regex(log))) << text;
    EXPECT_EQ(snapshot(bundle), before);
  }
  fs::current_path(previous);
  EXPECT_FALSE(fs::exists(work / "relative" / "Tove.app" / "Contents"));
  EXPECT_EQ(readFile(work / "a file"), "keep me");
}

}  // namespace
}  // namespace sparkler::test
