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
  fs::path work;
  fs::path image;

  void SetUp() override {
    work = run.folder() / ("tool " + Folders::newUUIDString());
    writeFile(work / "root" / "Tove.app" / "Contents" / "Info.plist", "<plist/>", fs::perms(0644));
    writeFile(work / "root" / "setuid", "#!/bin/sh\n", fs::perms(04755));
    image = work / "Disk \"Q\" 'one'.dmg";
    ASSERT_TRUE(DiskImageRun::makeImage(work / "root", image));
  }
  void TearDown() override {
    DiskImageTest::TearDown();
    std::error_code ignored;
    fs::remove_all(work, ignored);
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
    if (!run.volumes().empty()) {
      EXPECT_TRUE(fs::is_empty(run.volumes()));
    }
  }
};

TEST_F(HdiutilTest, AttachMountsReadOnlyAndDetachRemovesEverything) {
  requireVolumes();
  requireMounting();
  for (const char* mounter : {"", "fuse", "kernel"}) {
    if (std::string(mounter) == "kernel" && ::geteuid() != 0) continue;
    SCOPED_TRACE(mounter);
    const auto attach = run.runTool({"attach", image.string(), "-nobrowse"},
                                    {"TOVE_HDIUTIL_MOUNTER=" + std::string(mounter)});
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

    const auto detach = run.runTool({"detach", attached->disk});
    EXPECT_EQ(detach.status, 0) << detach.err;
    EXPECT_TRUE(mountsBelow(run.volumes()).empty());
    EXPECT_FALSE(fs::exists(attached->mountPoint));
    EXPECT_TRUE(run.records().empty());
  }
}

TEST_F(HdiutilTest, DetachAcceptsEveryFormOfTheDevice) {
  requireVolumes();
  requireMounting();
  for (const std::string form : {"diskN", "diskNs1", "/dev/diskN", "/dev/diskNs1"}) {
    const auto attached = parse(run.runTool({"attach", image.string(), "-nobrowse"}));
    ASSERT_TRUE(attached);
    const std::string device = std::regex_replace(form, std::regex("diskN"), attached->disk);
    EXPECT_EQ(run.runTool({"detach", device}).status, 0) << device;
    EXPECT_TRUE(run.records().empty()) << device;
  }
}

TEST_F(HdiutilTest, TakenNamesAndConcurrentAttachesGetTheirOwnDiskAndMountPoint) {
  requireVolumes();
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
  EXPECT_EQ(mountPoints.size(), std::size_t{kAttaches});
  const std::string base = run.volumes() + "/Disk \"Q\" 'one'";
  EXPECT_TRUE(mountPoints.count(base));
  EXPECT_TRUE(mountPoints.count(base + " 1"));
  EXPECT_TRUE(mountPoints.count(base + " " + std::to_string(kAttaches - 1)));
  for (const auto& disk : disks) EXPECT_EQ(run.runTool({"detach", disk}).status, 0);
}

TEST_F(HdiutilTest, BadImagesAreRefusedWithOneLine) {
  requireVolumes();
  expectOneLineError(run.runTool({"attach", (work / "missing.dmg").string(), "-nobrowse"}),
                     "No such file");
  writeFile(work / "text.dmg",
            "just text, long enough to hold a superblock" + std::string(100, 'x'), fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "text.dmg").string()}), "not a disk image");
  expectOneLineError(run.runTool({"attach", work.string()}), "not a disk image");

  const std::string bytes = readFile(image);
  writeFile(work / "truncated.dmg", bytes.substr(0, 200), fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "truncated.dmg").string()}), "corrupt");
  // A sound superblock in front of damaged tables.
  std::string damaged = bytes;
  for (std::size_t i = 96; i < damaged.size(); ++i) damaged[i] = static_cast<char>(~damaged[i]);
  writeFile(work / "damaged.dmg", damaged, fs::perms(0644));
  expectOneLineError(run.runTool({"attach", (work / "damaged.dmg").string()}), "corrupt");
}

TEST_F(HdiutilTest, BadCommandLinesAndUnknownDevicesAreRefusedWithOneLine) {
  expectOneLineError(run.runTool({}), "usage");
  expectOneLineError(run.runTool({"mount", image.string()}), "unknown command");
  expectOneLineError(run.runTool({"attach"}), "no image");
  expectOneLineError(run.runTool({"attach", image.string(), "-readwrite"}), "unknown option");
  expectOneLineError(run.runTool({"detach"}), "no device");
  for (const char* device : {"disk99", "/dev/disk99s1", "disk1s2", "disk", "sda1", "disk1x"}) {
    expectOneLineError(run.runTool({"detach", device}), "no such device");
  }
}

TEST_F(HdiutilTest, AFolderOfMountPointsThatCannotBeMadeIsExplained) {
  writeFile(work / "file", "", fs::perms(0644));
  expectOneLineError(
      run.runTool({"attach", image.string()}, {"TOVE_HDIUTIL_VOLUMES=" + (work / "file").string()}),
      "not a folder");
  if (::geteuid() == 0) GTEST_SKIP() << "root may create any folder";
  expectOneLineError(
      run.runTool({"attach", image.string()}, {"TOVE_HDIUTIL_VOLUMES=/usr/tove-test-volumes"}),
      "sudo mkdir");
}

}  // namespace
}  // namespace tove::test
