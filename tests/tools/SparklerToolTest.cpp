#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sparkler/Checksum.h"
#include "sparkler/testing/HttpsServer.h"
#include "sparkler/testing/TempDir.h"
#include "sparkler/testing/TempHome.h"
#include "sparkler/testing/TestBundle.h"

namespace {

using nlohmann::json;

struct Outcome {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs the built tool through the shell with `arguments` (single-quoted, none hold quotes).
Outcome sparkler(const std::vector<std::string>& arguments) {
  sparkler::testing::TempDir dir("tove-sparkler-run");
  const auto out = dir.path() / "out";
  const auto err = dir.path() / "err";
  std::string command = TOVE_TEST_SPARKLER;
  for (const auto& argument : arguments) command += " '" + argument + "'";
  command += " >'" + out.string() + "' 2>'" + err.string() + "'";
  Outcome run;
  const int status = std::system(command.c_str());
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  run.out = sparkler::testing::readFile(out);
  run.err = sparkler::testing::readFile(err);
  return run;
}

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

TEST(Sparkler, CommandsPrintTheirAnswerAndRefuseWhatTheyCannotRead) {
  const std::tuple<std::vector<std::string>, int, std::string_view> cases[] = {
      {{"version", " V2.0 "}, 0, "2\n"},
      {{"version", "1.65536"}, 1, "sparkler: \"1.65536\" is not a version\n"},
      {{"version"}, 1, "usage"},
      {{"--help"}, 0, "version TEXT"},
      {{"frobnicate"}, 1, "unknown command"},
      {{}, 1, "usage"},
      {{"check", "--bundle", "Tove.app"}, 1, "usage"},
  };
  for (const auto& [arguments, status, text] : cases) {
    const auto run = sparkler(arguments);
    EXPECT_EQ(run.status, status) << run.out << run.err;
    EXPECT_TRUE(contains(run.out + run.err, text)) << run.out << run.err;
  }
}

// One check as the bundle would run it, its result as JSON on standard output. A check that
// fails says why on standard error and exits with 1, its JSON still on standard output, so that
// a missing manifest or a folder that is no bundle never looks like "no update".
TEST(SparklerCheck, ReportsWhatTheBundleWouldSeeOrSaysWhyItFailed) {
  sparkler::testing::TempHome home;
  sparkler::testing::HttpsServer server;
  ASSERT_TRUE(server.ok());
  const std::string app =
      sparkler::testing::makeTestBundle(home.temporary(), "Tove", "1.0.0", "org.tove.Tove");
  const auto check = [&](const std::string& bundle, const std::string& ca) {
    return sparkler(
        {"check", "--bundle", bundle, "--manifest", server.url("/mac/_.json"), "--ca-file", ca});
  };
  auto run = check(app, server.caFile());
  const auto failed = json::parse(run.out, nullptr, false);
  EXPECT_EQ(failed["updateAvailable"], false) << run.out;
  EXPECT_EQ(failed["error"]["code"], "manifest-unreachable") << run.out;
  EXPECT_TRUE(contains(failed["error"].value("message", ""), "HTTP status 404")) << run.out;
  for (const auto& [failed, cause] :
       {std::pair{run, "HTTP status 404"},
        {check(home.temporary(), server.caFile()), "is not a bundle"},
        {check(app, home.temporary() / "missing.pem"), "cannot read the CA file"}}) {
    EXPECT_EQ(failed.status, 1);
    EXPECT_TRUE(contains(failed.err, cause)) << failed.err;
  }

  const std::string image(4096, 'i');
  json newest = {{"version", "1.0.1"},
                 {"name", "Tove-1.0.1.dmg"},
                 {"hash", *sparkler::Checksum::MD5String(image)},
                 {"size", image.size()}};
  server.putFile("/mac/_.json", json::array({newest}).dump());
  server.putFile("/mac/Tove-1.0.1.dmg", image);
  run = check(app, server.caFile());
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto cached = home.dataHome() / "org.tove.Tove/updates/software/Tove-1.0.1.dmg";
  EXPECT_EQ(json::parse(run.out, nullptr, false), (json{{"updateAvailable", true},
                                                        {"entry", newest},
                                                        {"cachedPath", cached},
                                                        {"error", nullptr}}));

  // Up to date with an entry too long for a log line: shown shortened, as the log shows it.
  newest["version"] = "1.0.0";
  newest["notes"] = std::string(20'000, 'n');
  server.putFile("/mac/_.json", json::array({newest}).dump());
  run = check(app, server.caFile());
  ASSERT_EQ(run.status, 0) << run.err;
  const auto shown = json::parse(run.out, nullptr, false);
  EXPECT_EQ(shown["updateAvailable"], false);
  ASSERT_TRUE(shown["entry"].is_string()) << run.out;
  EXPECT_LE(shown["entry"].get<std::string>().size(), 4096u);
}

}  // namespace
