#include <nlohmann/json.hpp>

#include "sparkler/Checksum.h"
#include "sparkler/testing/DiskImages.h"
#include "sparkler/testing/HttpsServer.h"

namespace sparkler::test {
namespace {

using nlohmann::json;

RunResult tool(const std::vector<std::string>& arguments) {
  return DiskImageRun::runProgram(TOVE_TEST_SPARKLER, arguments);
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
      {{"keygen"}, 1, "usage: sparkler keygen"},
      {{"sign", "--manifest", "_.json"}, 1, "no --key"},
  };
  for (const auto& [arguments, status, text] : cases) {
    const auto run = tool(arguments);
    EXPECT_EQ(run.status, status) << run.output << run.error;
    EXPECT_NE((run.output + run.error).find(text), std::string::npos) << run.output << run.error;
  }
}

// A check that fails says why on standard error and exits with 1, its JSON still on standard
// output, so that a missing manifest or a folder that is no bundle never looks like "no update".
TEST(SparklerCheck, ReportsWhatTheBundleWouldSeeOrSaysWhyItFailed) {
  testing::TempHome home;
  testing::HttpsServer server;
  ASSERT_TRUE(server.ok());
  const std::string app =
      testing::makeTestBundle(home.temporary(), "Tove", "1.0.0", "org.tove.Tove");
  const auto check = [&](const std::string& bundle, const std::string& ca) {
    return tool(
        {"check", "--bundle", bundle, "--manifest", server.url("/mac/_.json"), "--ca-file", ca});
  };
  const auto missing = check(app, server.caFile());
  const auto failed = json::parse(missing.output, nullptr, false);
  EXPECT_EQ(failed["updateAvailable"], false) << missing.output;
  EXPECT_EQ(failed["error"]["code"], "manifest-unreachable") << missing.output;
  EXPECT_NE(failed["error"].value("message", "").find("HTTP status 404"), std::string::npos);
  for (const auto& [run, cause] :
       {std::pair{missing, "HTTP status 404"},
        {check(home.temporary(), server.caFile()), "is not a bundle"},
        {check(app, home.temporary() / "missing.pem"), "cannot read the CA file"}}) {
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.error.find(cause), std::string::npos) << run.error;
  }

  const std::string image(4096, 'i');
  json newest = {{"version", "1.0.1"},
                 {"name", "Tove-1.0.1.dmg"},
                 {"hash", *Checksum::MD5String(image)},
                 {"size", image.size()}};
  server.putFile("/mac/_.json", json::array({newest}).dump());
  server.putFile("/mac/Tove-1.0.1.dmg", image);
  auto run = check(app, server.caFile());
  ASSERT_EQ(run.status, 0) << run.error;
  EXPECT_EQ(run.error, "");
  const auto cached = home.dataHome() / "org.tove.Tove/updates/software/Tove-1.0.1.dmg";
  EXPECT_EQ(json::parse(run.output, nullptr, false),
            (json{{"updateAvailable", true},
                  {"entry", newest},
                  {"cachedPath", cached},
                  {"error", nullptr},
                  {"signature", {{"state", "not-required"}}}}));

  // Up to date with an entry too long for a log line: shown shortened, as the log shows it.
  newest["version"] = "1.0.0";
  newest["notes"] = std::string(20'000, 'n');
  server.putFile("/mac/_.json", json::array({newest}).dump());
  run = check(app, server.caFile());
  EXPECT_EQ(run.status, 0) << run.error;
  const auto shown = json::parse(run.output, nullptr, false);
  EXPECT_EQ(shown["updateAvailable"], false);
  EXPECT_TRUE(shown["entry"].is_string() && shown["entry"].get<std::string>().size() <= 4096)
      << run.output.substr(0, 300);
}

}  // namespace
}  // namespace sparkler::test
