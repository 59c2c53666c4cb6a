// QuickTask against the bare system calls it stands on: starting a program and waiting for
// it, and collecting a 1 GiB output stream. Prints the ratios at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tove/QuickTask.h"

extern char** environ;

namespace {

constexpr std::size_t kStreamBytes = std::size_t{1} << 30;
const char* const kHead = "/usr/bin/head";
constexpr std::size_t kStep = 1 << 20;

pid_t spawn(const char* path, char* const argv[], posix_spawn_file_actions_t* actions) {
  pid_t pid = -1;
  if (posix_spawn(&pid, path, actions, nullptr, argv, environ) != 0) return -1;
  return pid;
}

int reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  return status;
}

void BM_StatusOfTaskTrue(benchmark::State& state) {
  for (auto _ : state) {
    if (tove::QuickTask::statusOfTask("/bin/true") != 0) state.SkipWithError("true failed");
  }
}
BENCHMARK(BM_StatusOfTaskTrue)->UseRealTime()->MinTime(2.0);

void BM_PlainSpawnTrue(benchmark::State& state) {
  char path[] = "/bin/true";
  char* argv[] = {path, nullptr};
  for (auto _ : state) {
    const pid_t pid = spawn(path, argv, nullptr);
    if (pid < 0 || reap(pid) != 0) state.SkipWithError("true failed");
  }
}
BENCHMARK(BM_PlainSpawnTrue)->UseRealTime()->MinTime(2.0);

void BM_OutputOfTask1GiB(benchmark::State& state) {
  for (auto _ : state) {
    const auto output = tove::QuickTask::outputOfTask(
        kHead, tove::Arguments{{"-c", std::to_string(kStreamBytes), "/dev/zero"}}, false);
    if (!output || output->size() != kStreamBytes) state.SkipWithError("short output");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_OutputOfTask1GiB)->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);

// The same stream through a plain pipe, collected the same way (into one growing string).
void BM_PlainPipe1GiB(benchmark::State& state) {
  char path[] = "/usr/bin/head";
  char dashC[] = "-c";
  std::string count = std::to_string(kStreamBytes);
  char zero[] = "/dev/zero";
  char* argv[] = {path, dashC, count.data(), zero, nullptr};
  for (auto _ : state) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) state.SkipWithError("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    const pid_t pid = spawn(path, argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    // Collected as QuickTask collects it, so that only the running of the task differs.
    std::string output;
    std::size_t used = 0;
    const auto extend = [&] { output.resize(std::min(output.capacity(), used + kStep)); };
    for (;;) {
      if (used == output.size() && used < output.capacity()) extend();
      if (used == output.size()) {
        char aside[64 * 1024];
        const ssize_t n = read(ends[0], aside, sizeof aside);
        if (n <= 0) break;
        output.reserve(std::max(output.capacity() * 2, used + kStep));
        extend();
        std::memcpy(output.data() + used, aside, static_cast<std::size_t>(n));
        used += static_cast<std::size_t>(n);
        continue;
      }
      const ssize_t n = read(ends[0], output.data() + used, output.size() - used);
      if (n <= 0) break;
      used += static_cast<std::size_t>(n);
    }
    output.resize(used);
    close(ends[0]);
    if (pid < 0 || reap(pid) != 0 || used != kStreamBytes) state.SkipWithError("short output");
    benchmark::DoNotOptimize(output.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kStreamBytes));
}
BENCHMARK(BM_PlainPipe1GiB)->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's real time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) times[run.benchmark_name()] = run.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto& t = reporter.times;
  const auto ratio = [&](const char* a, const char* b) {
    const auto x = t.find(a);
    const auto y = t.find(b);
    return x != t.end() && y != t.end() && y->second > 0 ? x->second / y->second : 0.0;
  };
  std::printf("statusOfTask(/bin/true) / posix_spawn+waitpid time: %.3f (target <= 1.1)\n",
              ratio("BM_StatusOfTaskTrue/min_time:2.000/real_time",
                    "BM_PlainSpawnTrue/min_time:2.000/real_time"));
  std::printf("outputOfTask 1 GiB throughput / plain pipe throughput: %.3f (target >= 0.9)\n",
              ratio("BM_PlainPipe1GiB/iterations:2/real_time",
                    "BM_OutputOfTask1GiB/iterations:2/real_time"));
  benchmark::Shutdown();
  return 0;
}
