#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>
#include <vector>

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

}  // namespace
