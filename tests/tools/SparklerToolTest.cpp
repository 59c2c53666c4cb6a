#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Run {
  int status = -1;
  std::string out;
  std::string err;
};

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, got);
  close(fd);
  return text;
}

// Runs the built tool with `arguments`; output is small, so the pipes are read in turn.
Run sparkler(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), SPARKLER_PATH);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  Run run;
  run.out = readAll(out[0]);
  run.err = readAll(err[0]);
  if (spawned != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
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
    EXPECT_EQ(run.out, description) << text;
    EXPECT_EQ(run.err, "");
  }
}

TEST(SparklerVersion, SaysWhenTextIsNotAVersion) {
  for (const char* text : {"0.0.0", "", "beta", "1.65536"}) {
    const auto run = sparkler({"version", text});
    EXPECT_EQ(run.status, 1) << text;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("is not a version"), std::string::npos) << run.err;
  }
  EXPECT_EQ(sparkler({"version"}).status, 1);
}

TEST(SparklerHelp, ListsSubcommandsAndRefusesUnknownOnes) {
  const auto help = sparkler({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("version TEXT"), std::string::npos);
  const auto unknown = sparkler({"frobnicate"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_NE(unknown.err.find("unknown command"), std::string::npos);
  EXPECT_EQ(sparkler({}).status, 1);
}

}  // namespace
