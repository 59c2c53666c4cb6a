// The disk image tool, run as the updater runs it.

#include <sys/statvfs.h>

#include <regex>
#include <set>
#include <thread>

#include "DiskImageSupport.h"

namespace tove::test {
namespace {

class HdiutilTest : public DiskImageTest {
 protected:
  fs::path image = work / "Disk \"Q\" 'one'.dmg";

  void SetUp() override {
    writeFile(work / "root" / "Tove.app" / "Contents" / "Info.plist", "<plist/>", fs::perms(0644));
    writeFile(work / "root" / "setuid", "#!/bin/sh\n", fs::perms(04755));
    ASSERT_TRUE(DiskImageRun::makeImage(work / "root", image));
  }

  struct Attached {
    std::string disk;  // diskN
    std::string mountPoint;
  };

  // The attach output in hdiutil's grammar, read strictly.
  static std::optional<Attached> parse(const ToolRun& attach) {
    static const std::regex grammar(
        "/dev/(disk[1-9][0-9]*)\tGUID_partition_scheme\t\n/dev/(disk[1-9][0-9]*)s1\tApple_HFS\t("
        "[^\n]+)\n");
    std::smatch match;
    if (attach.status != 0 || !std::regex_match(attach.out, match, grammar) ||
        match[1] != match[2]) {
      return std::nullopt;
    }
    return Attached{match[1], match[3]};
  }

  void expectOneLineError(const ToolRun& result, const std::string& mentions) {
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(result.out.empty()) << result.out;
    const auto errorLines = lines(result.err);
    ASSERT_EQ(errorLines.size(), 1u) << result.err;
    EXPECT_NE(errorLines[0].find(mentions), std::string::npos) << errorLines[0];
    EXPECT_TRUE(run.records().empty());
    EXPECT_TRUE(run.volumes().empty() || fs::is_empty(run.volumes()));
  }
};

TEST_F(HdiutilTest, AttachMountsReadOnlyAndDetachByAnyFormRemovesEverything) {
  requireMounting();
  for (const auto& [mounter, form] : {std::pair<std::string, std::string>{"", "diskN"},
                                      {"fuse", "/dev/diskNs1"},
                                      {"kernel", "diskNs1"},
                                      {"", "/dev/diskN"}}) {
    if (mounter == "kernel" && ::geteuid() != 0) continue;
    SCOPED_TRACE(mounter + " " + form);
    ::setenv("TOVE_HDIUTIL_MOUNTER", mounter.c_str(), 1);
    const auto attach = run.runTool({"attach", image.string(), "-nobrowse"});
    ::unsetenv("TOVE_HDIUTIL_MOUNTER");
    const auto attached = parse(attach);
    ASSERT_TRUE(attached) << attach.out << attach.err;
    EXPECT_EQ(attached->mountPoint, run.volumes() + "/Disk \"Q\" 'one'");
    EXPECT_EQ(mountsBelow(run.volumes()), std::vector<std::string>{attached->mountPoint});
    EXPECT_EQ(readFile(attached->mountPoint + "/Tove.app/Contents/Info.plist"), "<plist/>");
    struct statvfs volume {};
    ASSERT_EQ(::statvfs(attached->mountPoint.c_str(), &volume), 0);
    EXPECT_TRUE(volume.f_flag & ST_RDONLY);
    EXPECT_TRUE(volume.f_flag & ST_NOSUID);
    EXPECT_TRUE(volume.f_flag & ST_NODEV);
    EXPECT_EQ(run.records(), std::vector<std::string>{attached->disk});

    const std::string device = std::regex_replace(form, std::regex("diskN"), attached->disk);
    const auto detach = run.runTool({"detach", device});
    EXPECT_EQ(detach.status, 0) << detach.err;
    EXPECT_TRUE(mountsBelow(run.volumes()).empty());
    EXPECT_FALSE(fs::exists(attached->mountPoint));
    EXPECT_TRUE(run.records().empty());
  }
}

TEST_F(HdiutilTest, TakenNamesAndConcurrentAttachesGetTheirOwnDiskAndMountPoint) {
  requireMounting();
  constexpr int kAttaches = 6;
  std::vector<ToolRun> results(kAttaches);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kAttaches; ++i) {
      threads.emplace_back([&, i] {
        results[i] = run.runTool({"attach", image.string(), "-nobrowse"});
      });
    }
  }
  std::set<std::string> disks, mountPoints;
  for (const auto& result : results) {
    const auto attached = parse(result);
    ASSERT_TRUE(attached) << result.out << result.err;
    disks.insert(attached->disk);
    mountPoints.insert(attached->mountPoint);
  }
  EXPECT_EQ(disks.size(), std::size_t{kAttaches});
  const std::string base = run.volumes() + "/Disk \"Q\" 'one'";
  std::set<std::string> expected{base};
  for (int i = 1; i < kAttaches; ++i) expected.insert(base + " " + std::to_string(i));
  EXPECT_EQ(mountPoints, expected);
  for (const auto& disk : disks) EXPECT_EQ(run.runTool({"detach", disk}).status, 0);
}

TEST_F(HdiutilTest, BadImagesAndCommandLinesAreRefusedWithOneLine) {
  requireMounting();
  expectOneLineError(run.runTool({"attach", (work / "missing.dmg").string(), "-nobrowse"}),
                     "No such file");
  writeFile(work / "text.dmg", "just text, long enough for a superblock" + std::string(100, 'x'),
            fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "text.dmg").string()}), "not a disk image");
  const std::string bytes = readFile(image);
  writeFile(work / "truncated.dmg", bytes.substr(0, 200), fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "truncated.dmg").string()}), "corrupt");
  // A sound superblock in front of damaged tables.
  std::string damaged = bytes;
  for (std::size_t i = 96; i < damaged.size(); ++i) damaged[i] = static_cast<char>(~damaged[i]);
  writeFile(work / "damaged.dmg", damaged, fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "damaged.dmg").string()}), "corrupt");

  expectOneLineError(run.runTool({}), "usage");
  expectOneLineError(run.runTool({"mount", image.string()}), "unknown command");
  expectOneLineError(run.runTool({"attach", image.string(), "-readwrite"}), "unknown option");
  for (const char* device : {"/dev/disk99s1", "disk1s2", "sda1"})
    expectOneLineError(run.runTool({"detach", device}), "no such device");
}

TEST_F(HdiutilTest, AFolderOfMountPointsThatCannotBeMadeIsExplained) {
  const std::string ours = std::getenv("TOVE_HDIUTIL_VOLUMES");
  const auto attachWithVolumes = [&](const std::string& volumes) {
    ::setenv("TOVE_HDIUTIL_VOLUMES", volumes.c_str(), 1);
    const auto result = run.runTool({"attach", image.string()});
    ::setenv("TOVE_HDIUTIL_VOLUMES", ours.c_str(), 1);
    return result;
  };
  writeFile(work / "file", "", fs::perms(0644));
  expectOneLineError(attachWithVolumes((work / "file").string()), "not a folder");
  if (::geteuid() == 0) GTEST_SKIP() << "root may create any folder";
  expectOneLineError(attachWithVolumes("/usr/tove-test-volumes"), "sudo mkdir");
}

}  // namespace
}  // namespace tove::test
