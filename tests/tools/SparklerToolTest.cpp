#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tove/Checksum.h"
#include "tove/testing/HttpsServer.h"
#include "tove/testing/TempHome.h"
#include "tove/testing/TestBundle.h"

namespace {

struct Run {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Runs the built tool through the shell with `arguments` (single-quoted, none hold quotes).
Run sparkler(const std::vector<std::string>& arguments) {
  std::string command = SPARKLER_PATH;
  for (const auto& argument : arguments) command += " '" + argument + "'";
  Run run;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (std::size_t got; pipe && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    run.output.append(buffer, got);
  }
  const int status = pipe ? pclose(pipe) : -1;
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
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

TEST(SparklerCheck, ReportsTheNewestEntryAndTheCachedImageAsTheBundleWouldSeeThem) {
  tove::testing::TempHome home;
  tove::testing::HttpsServer server;
  ASSERT_TRUE(server.ok());
  const std::string image(4096, 'i');
  const nlohmann::json newest = {{"version", "1.0.1"},
                                 {"name", "Tove-1.0.1.dmg"},
                                 {"hash", *tove::Checksum::MD5String(image)},
                                 {"size", image.size()}};
  server.putFile("/mac/_.json", nlohmann::json::array({newest}).dump());
  server.putFile("/mac/Tove-1.0.1.dmg", image);
  auto bundle = tove::testing::makeTestBundle(home.temporary(), "Tove", "1.0.0", "org.tove.Tove");
  const auto manifest = server.url("/mac/_.json");

  auto run =
      sparkler({"check", "--bundle", bundle, "--manifest", manifest, "--ca-file", server.caFile()});
  ASSERT_EQ(run.status, 0) << run.output;
  const auto cached = home.dataHome() / "org.tove.Tove/updates/software/Tove-1.0.1.dmg";
  EXPECT_EQ(nlohmann::json::parse(run.output, nullptr, false),
            (nlohmann::json{
                {"updateAvailable", true}, {"entry", newest}, {"cachedPath", cached.string()}}));

  // Without the CA the server is not trusted: the check runs and finds nothing.
  run = sparkler({"check", "--bundle", bundle, "--manifest", manifest});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(nlohmann::json::parse(run.output, nullptr, false)["entry"], nullptr);
  EXPECT_EQ(sparkler({"check", "--bundle", bundle}).status, 1);
  EXPECT_EQ(sparkler({"check", "--bundle", bundle, "--manifest", "https://x/", "--ca-file",
                      (home.temporary() / "missing.pem").string()})
                .status,
            1);
}

}  // namespace
