#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tove/Checksum.h"
#include "tove/testing/HttpsServer.h"
#include "tove/testing/TempDir.h"
#include "tove/testing/TempHome.h"
#include "tove/testing/TestBundle.h"

namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error together
  std::string out;     // standard output alone
  std::string err;     // standard error alone
};

// Runs the built tool through the shell with `arguments` (single-quoted, none hold quotes).
Outcome sparkler(const std::vector<std::string>& arguments) {
  tove::testing::TempDir dir("tove-sparkler-run");
  const auto out = dir.path() / "out";
  const auto err = dir.path() / "err";
  std::string command = SPARKLER_PATH;
  for (const auto& argument : arguments) command += " '" + argument + "'";
  command += " >'" + out.string() + "' 2>'" + err.string() + "'";
  Outcome run;
  const int status = std::system(command.c_str());
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.out = tove::testing::readFile(out);
  run.err = tove::testing::readFile(err);
  run.output = run.out + run.err;
  return run;
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(Sparkler, VersionPrintsTheDescriptionOrSaysTextIsNotAVersion) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {" V2.0 ", 0, "2\n"}, {"1.65536", 1, "sparkler: \"1.65536\" is not a version\n"}};
  for (const auto& [text, status, output] : cases) {
    const auto run = sparkler({"version", text});
    EXPECT_EQ(run.status, status) << text;
    EXPECT_EQ(run.output, output) << text;
  }
  EXPECT_EQ(sparkler({"version"}).status, 1);
}

TEST(Sparkler, HelpListsSubcommandsAndUnknownOnesAreRefused) {
  const auto help = sparkler({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("version TEXT"), std::string::npos);
  EXPECT_EQ(sparkler({"frobnicate"}).status, 1);
  EXPECT_EQ(sparkler({}).status, 1);
}

class SparklerCheck : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server.ok()); }

  Outcome check(const std::filesystem::path& bundlePath, const std::string& manifestURL,
                bool trusted = true) {
    std::vector<std::string> arguments = {"check", "--bundle", bundlePath, "--manifest",
                                          manifestURL};
    if (trusted) arguments.insert(arguments.end(), {"--ca-file", server.caFile()});
    return sparkler(arguments);
  }

  tove::testing::TempHome home;
  tove::testing::HttpsServer server;
  const std::filesystem::path bundle =
      tove::testing::makeTestBundle(home.temporary(), "Tove", "1.0.0", "org.tove.Tove");
  const std::string manifest = server.url("/mac/_.json");
};

TEST_F(SparklerCheck, ReportsTheNewestEntryAndTheCachedImageAsTheBundleWouldSeeThem) {
  const std::string image(4096, 'i');
  const nlohmann::json newest = {{"version", "1.0.1"},
                                 {"name", "Tove-1.0.1.dmg"},
                                 {"hash", *tove::Checksum::MD5String(image)},
                                 {"size", image.size()}};
  server.putFile("/mac/_.json", nlohmann::json::array({newest}).dump());
  server.putFile("/mac/Tove-1.0.1.dmg", image);

  auto run = check(bundle, manifest);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.err, "");
  const auto cached = home.dataHome() / "org.tove.Tove/updates/software/Tove-1.0.1.dmg";
  EXPECT_EQ(nlohmann::json::parse(run.out, nullptr, false),
            (nlohmann::json{
                {"updateAvailable", true}, {"entry", newest}, {"cachedPath", cached.string()}}));

  // Up to date with an entry too long for a log line: shown shortened, as the log shows it.
  nlohmann::json wide = newest;
  wide["version"] = "1.0.0";
  wide["notes"] = std::string(20'000, 'n');
  server.putFile("/mac/_.json", nlohmann::json::array({wide}).dump());
  run = check(bundle, manifest);
  ASSERT_EQ(run.status, 0) << run.output;
  const auto shown = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_EQ(shown["updateAvailable"], false);
  ASSERT_TRUE(shown["entry"].is_string()) << run.out;
  EXPECT_LE(shown["entry"].get<std::string>().size(), 4096u);

  EXPECT_EQ(sparkler({"check", "--bundle", bundle}).status, 1);
  EXPECT_EQ(sparkler({"check", "--bundle", bundle, "--manifest", "https://x/", "--ca-file",
                      (home.temporary() / "missing.pem").string()})
                .status,
            1);
}

// A check that fails says why on standard error and exits with 1, its JSON still on standard
// output; an untrusted server, a missing manifest and a folder that is no bundle used to look
// like "no update".
TEST_F(SparklerCheck, AFailedCheckSaysWhyAndExitsWithOne) {
  server.putFile("/mac/_.json", R"([{"version": "1.0.0", "name": "a.dmg"}])");
  server.putFile("/mac/deep.json", "[{\"version\": \"1.0.1\", \"extra\": " +
                                       std::string(60'000, '[') + std::string(60'000, ']') + "}]");
  const std::tuple<std::filesystem::path, std::string, bool, std::string_view> cases[] = {
      {bundle, manifest, false, "certificate"},
      {bundle, server.url("/mac/missing.json"), true, "HTTP status 404"},
      {bundle, server.url("/mac/deep.json"), true, "nested more than 32 deep"},
      {home.temporary(), manifest, true, "is not a bundle"},
  };
  for (const auto& [bundlePath, url, trusted, cause] : cases) {
    const auto run = check(bundlePath, url, trusted);
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(contains(run.err, cause)) << run.err;
    if (bundlePath == bundle) {
      EXPECT_EQ(nlohmann::json::parse(run.out, nullptr, false)["updateAvailable"], false)
          << run.out;
    }
  }
}

}  // namespace
