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
  command += " 2>&1";
  Run run;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    run.output.append(buffer, got);
  }
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(SparklerVersion, PrintsTheDescription) {
  for (const auto& [text, description] : {std::pair{"1.2.3", "1.2.3\n"},
                                          {" V2.0 ", "2\n"},
                                          {"1.2.3.4", "1.2.3\n"},
                                          {"1.0.3", "1.0.3\n"}}) {
    const auto run = sparkler({"version", text});
    EXPECT_EQ(run.status, 0) << text;
    EXPECT_EQ(run.output, description) << text;
  }
}

TEST(SparklerVersion, SaysWhenTextIsNotAVersion) {
  for (const char* text : {"0.0.0", "", "beta", "1.65536"}) {
    const auto run = sparkler({"version", text});
    EXPECT_EQ(run.status, 1) << text;
    EXPECT_NE(run.output.find("is not a version"), std::string::npos) << run.output;
  }
  EXPECT_EQ(sparkler({"version"}).status, 1);
}

TEST(SparklerHelp, ListsSubcommandsAndRefusesUnknownOnes) {
  const auto help = sparkler({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("version TEXT"), std::string::npos);
  const auto unknown = sparkler({"frobnicate"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.output.find("unknown command"), std::string::npos);
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
  const std::vector<std::string> arguments = {
      "check",     "--bundle",     bundle, "--manifest", server.url("/mac/_.json"),
      "--ca-file", server.caFile()};

  auto run = sparkler(arguments);
  ASSERT_EQ(run.status, 0) << run.output;
  auto result = nlohmann::json::parse(run.output, nullptr, false);
  auto cached = home.dataHome() / "org.tove.Tove/updates/software/Tove-1.0.1.dmg";
  EXPECT_EQ(result,
            (nlohmann::json{
                {"updateAvailable", true}, {"entry", newest}, {"cachedPath", cached.string()}}));

  // Without the CA the server is not trusted: the check runs and finds nothing.
  run = sparkler({"check", "--bundle", bundle, "--manifest", server.url("/mac/_.json")});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(nlohmann::json::parse(run.output, nullptr, false)["entry"], nullptr);
  EXPECT_EQ(sparkler({"check", "--bundle", bundle}).status, 1);
  EXPECT_EQ(sparkler({"check", "--bundle", bundle, "--manifest", "https://x/", "--ca-file",
                      (home.temporary() / "missing.pem").string()})
                .status,
            1);
}

}  // namespace
