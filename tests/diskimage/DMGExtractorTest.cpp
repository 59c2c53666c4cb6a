#include "tove/DMGExtractor.h"

#include <unistd.h>

#include <map>
#include <mutex>

#include "DiskImageSupport.h"
#include "tove/Log.h"

namespace tove::test {
namespace {

TEST(MountInfoTest, NeedsADiskAndARoot) {
  EXPECT_FALSE(MountInfo::infoWithDisk("", "/Volumes/X"));
  EXPECT_FALSE(MountInfo::infoWithDisk("disk4s1", ""));
  const auto info = MountInfo::infoWithDisk("disk4s1", "/Volumes/X");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->disk(), "disk4s1");
  EXPECT_EQ(info->root(), "/Volumes/X");
}

TEST(AttachGrammarTest, ReadsThePartitionLineWhateverTheWhiteSpace) {
  for (const char* line : {"/dev/disk4s1\tApple_HFS\t/Volumes/Example",
                           "/dev/disk4s1   Apple_HFS      /Volumes/Example",
                           "/dev/disk4s1 \t Apple_HFS\t  /Volumes/Example"}) {
    const auto info = DMGExtractor::mountInfoFromOutput(line);
    ASSERT_TRUE(info) << line;
    EXPECT_EQ(info->disk(), "disk4s1");
    EXPECT_EQ(info->root(), "/Volumes/Example");
  }
}

TEST(AttachGrammarTest, KeepsTheWholeVolumeName) {
  const auto info = DMGExtractor::mountInfoFromOutput(
      "/dev/disk12\tGUID_partition_scheme\t\n"
      "/dev/disk12s1\tApple_HFS\t/Volumes/Tove 1.0.1 (new)  ");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->disk(), "disk12s1");
  EXPECT_EQ(info->root(), "/Volumes/Tove 1.0.1 (new)  ");
}

TEST(AttachGrammarTest, IgnoresWholeDisksOtherTypesAndOtherFolders) {
  EXPECT_FALSE(
      DMGExtractor::mountInfoFromOutput("/dev/disk4\tGUID_partition_scheme\t\n"
                                        "/dev/disk4s1\tEFI\t/Volumes/EFI\n"
                                        "/dev/disk4s2\tApple_HFSX\t/Volumes/Case\n"
                                        "/dev/disk4\tApple_HFS\t/Volumes/Whole\n"
                                        "/dev/disk4s3\tApple_HFS\t/mnt/Elsewhere\n"
                                        " /dev/disk4s4\tApple_HFS\t/Volumes/Indented"));
  EXPECT_FALSE(DMGExtractor::mountInfoFromOutput(""));
}

TEST(AttachGrammarTest, FirstMatchingLineWins) {
  const auto info = DMGExtractor::mountInfoFromOutput(
      "/dev/disk4\tGUID_partition_scheme\t\n"
      "/dev/disk4s1\tApple_HFS\t/Volumes/First\n"
      "/dev/disk5s1\tApple_HFS\t/Volumes/Second");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->disk(), "disk4s1");
  EXPECT_EQ(info->root(), "/Volumes/First");
}

// A stand-in for the tool: a script that logs its arguments one per line and answers attach
// with `output` and `status`.
class FakeToolTest : public DiskImageTest {
 protected:
  fs::path log;
  fs::path tool;

  void makeTool(const std::string& output, int status) {
    log = run.folder() / "fake-tool.log";
    tool = run.folder() / "fake tool's dir" / "hdiutil";
    fs::remove(log);
    writeFile(tool,
              "#!/bin/sh\n"
              "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" +
                  log.string() +
                  "'; done\n"
                  "if [ \"$1\" = attach ]; then printf '" +
                  output + "'; exit " + std::to_string(status) + "; fi\n",
              fs::perms::owner_all);
    DMGExtractor::setToolPath(tool.string());
  }
  void TearDown() override {
    DMGExtractor::setToolPath(std::nullopt);
    DiskImageTest::TearDown();
  }
};

TEST_F(FakeToolTest, AttachAndDetachCommandLines) {
  makeTool("/dev/disk7\\tGUID_partition_scheme\\t\\n/dev/disk7s1\\tApple_HFS\\t/Volumes/A B\\n", 0);
  const std::string image = (run.folder() / "an \"odd\" 'name'.dmg").string();
  const auto info = DMGExtractor::mount(image);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->disk(), "disk7s1");
  EXPECT_EQ(info->root(), "/Volumes/A B");
  DMGExtractor::eject(info->disk());
  EXPECT_EQ(lines(readFile(log)),
            (std::vector<std::string>{"attach", image, "-nobrowse", "detach", "disk7s1"}));
}

TEST_F(FakeToolTest, EmptyArgumentsStartNothing) {
  makeTool("/dev/disk7s1\\tApple_HFS\\t/Volumes/A\\n", 0);
  EXPECT_FALSE(DMGExtractor::mount(""));
  DMGExtractor::eject("");
  EXPECT_FALSE(DMGExtractor::extract("", "/x.dmg", "/tmp/d"));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", "", "/tmp/d"));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", "/x.dmg", ""));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/..", "/x.dmg", "/tmp/d"));
  EXPECT_FALSE(DMGExtractor::extract("./", "/x.dmg", "/tmp/d"));
  EXPECT_FALSE(fs::exists(log));
}

TEST_F(FakeToolTest, FailedAttachIsNothingEvenWithAMatchingLine) {
  makeTool("/dev/disk7s1\\tApple_HFS\\t/Volumes/A\\n", 1);
  EXPECT_FALSE(DMGExtractor::mount("/x.dmg"));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", "/x.dmg", "/tmp/d"));
  // Nothing attached, so nothing is detached.
  for (const std::string& line : lines(readFile(log))) EXPECT_NE(line, "detach");
}

// A bundle tree worth comparing: executable and private modes, links, an empty folder.
void makeBundleContents(const fs::path& contents, const std::string& version) {
  writeFile(contents / "Info.plist", "<plist>" + version + "</plist>\n", fs::perms(0644));
  writeFile(contents / "MacOS" / "Tove", "#!/bin/sh\necho " + version + "\n", fs::perms(0755));
  writeFile(contents / "Resources" / "Scripts" / "bounce.sh", "#!/bin/sh\n", fs::perms(0750));
  writeFile(contents / "Resources" / "private.key", version, fs::perms(0600));
  fs::create_directories(contents / "Resources" / "empty");
  fs::create_symlink("../Info.plist", contents / "Resources" / "Info link");
  fs::create_directory_symlink("Resources/Scripts", contents / "Scripts");
}

// Every item under `a` is under `b` with the same type, mode, contents or link target.
void expectSameTree(const fs::path& a, const fs::path& b) {
  std::map<std::string, fs::path> inA, inB;
  for (const auto& e : fs::recursive_directory_iterator(a)) inA[fs::relative(e.path(), a)] = e;
  for (const auto& e : fs::recursive_directory_iterator(b)) inB[fs::relative(e.path(), b)] = e;
  std::vector<std::string> namesA, namesB;
  for (const auto& [name, path] : inA) namesA.push_back(name);
  for (const auto& [name, path] : inB) namesB.push_back(name);
  ASSERT_EQ(namesA, namesB);
  for (const auto& [name, path] : inA) {
    const auto statusA = fs::symlink_status(path);
    const auto statusB = fs::symlink_status(inB[name]);
    EXPECT_EQ(statusA.type(), statusB.type()) << name;
    if (statusA.type() == fs::file_type::symlink) {
      EXPECT_EQ(fs::read_symlink(path), fs::read_symlink(inB[name])) << name;
      continue;
    }
    EXPECT_EQ(statusA.permissions(), statusB.permissions()) << name;
    if (statusA.type() == fs::file_type::regular) {
      EXPECT_EQ(readFile(path), readFile(inB[name])) << name;
    }
  }
}

class ExtractTest : public DiskImageTest {
 protected:
  fs::path work;
  fs::path newContents;  // what the image holds as Tove.app/Contents
  fs::path image;
  fs::path bundle;  // the running bundle to update
  std::mutex logMutex;
  std::vector<std::string> logged;

  void SetUp() override {
    requireVolumes();
    requireMounting();
    work = run.folder() / ("work " + Folders::newUUIDString());
    newContents = work / "image root" / "Tove.app" / "Contents";
    makeBundleContents(newContents, "1.0.1");
    image = work / "images" / "Tove 1.0.1 'new'.dmg";
    fs::create_directories(image.parent_path());
    ASSERT_TRUE(DiskImageRun::makeImage(work / "image root", image));
    bundle = work / "installed" / "Tove.app";
    makeBundleContents(bundle / "Contents", "1.0.0");
    writeFile(bundle / "Contents" / "Resources" / "only-in-old", "old", fs::perms(0644));
    DMGExtractor::setToolPath(DiskImageRun::tool());
    Log::setSink([this](std::string_view line) {
      const std::lock_guard lock(logMutex);
      logged.emplace_back(line);
    });
  }
  void TearDown() override {
    Log::setSink({});
    DMGExtractor::setToolPath(std::nullopt);
    DiskImageTest::TearDown();
    std::error_code ignored;
    fs::remove_all(work, ignored);
  }
};

TEST_F(ExtractTest, ReplacesTheBundleContentsFromTheImage) {
  const auto result = DMGExtractor::extract("Tove.app/Contents", image.string(), bundle.string());
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, (bundle / "Contents").string());
  expectSameTree(newContents, bundle / "Contents");
  EXPECT_TRUE(logged.empty());
  // Detached on the way out.
  EXPECT_TRUE(run.records().empty());
  EXPECT_TRUE(mountsBelow(run.volumes()).empty());

  // A trailing "/" on the destination names the same target.
  const auto again =
      DMGExtractor::extract("Tove.app/Contents", image.string(), bundle.string() + "/");
  EXPECT_EQ(again, result);
}

TEST_F(ExtractTest, MakesAMissingDestinationAndAFreshTemporaryFolder) {
  const fs::path destination = work / "new" / "nested" / "Tove.app";
  const auto result =
      DMGExtractor::extract("Tove.app/Contents", image.string(), destination.string());
  ASSERT_TRUE(result);
  expectSameTree(newContents, destination / "Contents");

  const auto temporary = DMGExtractor::extract("Tove.app", image.string());
  ASSERT_TRUE(temporary);
  const fs::path path(*temporary);
  EXPECT_EQ(path.filename(), "Tove.app");
  EXPECT_EQ(path.parent_path().parent_path(), Folders::temporary());
  expectSameTree(newContents, path / "Contents");
  fs::remove_all(path.parent_path());
}

TEST_F(ExtractTest, MissingItemKeepsTheOldOneAndLogsBeforeDetaching) {
  Log::setSink([this](std::string_view line) {
    const std::lock_guard lock(logMutex);
    // The image must still be attached while the failure is logged.
    logged.push_back(std::string(line) + (run.records().empty() ? " [detached]" : " [attached]"));
  });
  const fs::path before = work / "before";
  fs::copy(bundle, before, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Nothing", image.string(), bundle.string()));
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0].rfind("ERROR : ", 0), 0u) << logged[0];
  EXPECT_NE(logged[0], "ERROR : (null) [attached]");
  EXPECT_NE(logged[0].find("[attached]"), std::string::npos) << logged[0];
  expectSameTree(before, bundle);
  EXPECT_TRUE(run.records().empty());
}

TEST_F(ExtractTest, DestinationThatIsAFileFailsQuietly) {
  const fs::path file = work / "a file";
  writeFile(file, "keep me", fs::perms(0644));
  EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", image.string(), file.string()));
  EXPECT_EQ(readFile(file), "keep me");
  EXPECT_TRUE(logged.empty());
  EXPECT_TRUE(run.records().empty());
}

TEST_F(ExtractTest, RelativeDestinationIsRefusedByTheReplacement) {
  const fs::path previous = fs::current_path();
  fs::current_path(work);
  const auto result =
      DMGExtractor::extract("Tove.app/Contents", image.string(), "relative/Tove.app");
  fs::current_path(previous);
  EXPECT_FALSE(result);
  EXPECT_EQ(logged, std::vector<std::string>{"ERROR : (null)"});
  EXPECT_FALSE(fs::exists(work / "relative" / "Tove.app" / "Contents"));
  EXPECT_TRUE(run.records().empty());
}

TEST_F(ExtractTest, ImagesThatCannotBeAttachedFailWithoutAMessage) {
  const fs::path corrupt = work / "corrupt.dmg";
  const std::string bytes = readFile(image);
  writeFile(corrupt, bytes.substr(0, 200), fs::perms(0644));
  const fs::path text = work / "text.dmg";
  writeFile(text, "not an image", fs::perms(0644));
  for (const fs::path& bad : {work / "missing.dmg", corrupt, text}) {
    EXPECT_FALSE(DMGExtractor::mount(bad.string())) << bad;
    EXPECT_FALSE(DMGExtractor::extract("Tove.app/Contents", bad.string(), bundle.string()));
  }
  EXPECT_TRUE(logged.empty());
  EXPECT_EQ(readFile(bundle / "Contents" / "Info.plist"), "<plist>1.0.0</plist>\n");
}

}  // namespace
}  // namespace tove::test
