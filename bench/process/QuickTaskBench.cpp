// QuickTask against the bare system calls it stands on: starting a program and waiting for
// it, collecting a 1 GiB output stream, and searching a 256 MiB one. Each iteration runs both
// sides back to back, so that load from elsewhere on the machine weighs on both alike; the
// ratios are counters and are printed again at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "sparkler/QuickTask.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kStreamBytes = std::size_t{1} << 30;
constexpr std::size_t kStep = 1 << 20;
constexpr std::size_t kSearchBytes = std::size_t{256} << 20;

double seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

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

// The megabytes per second of QuickTask (`quickName`) and of the plain pipe over the runs, and
// how the two compare (`ratioName`: 1 when QuickTask is as fast).
void setThroughput(benchmark::State& state, std::size_t bytesPerRun, Clock::duration quick,
                   Clock::duration plain, const char* quickName, const char* ratioName) {
  const double bytes = static_cast<double>(bytesPerRun) * static_cast<double>(state.iterations());
  state.counters[quickName] = bytes / seconds(quick) / 1e6;
  state.counters["plain_pipe_MBps"] = bytes / seconds(plain) / 1e6;
  state.counters[ratioName] = seconds(plain) / seconds(quick);
}

// `head -c 1G /dev/zero` into a plain pipe, collected as QuickTask collects output (one
// growing string), so that only the running of the task differs.
std::size_t plainPipe() {
  char path[] = "/usr/bin/head";
  char dashC[] = "-c";
  std::string count = std::to_string(kStreamBytes);
  char zero[] = "/dev/zero";
  char* argv[] = {path, dashC, count.data(), zero, nullptr};
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return 0;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  const pid_t pid = spawn(path, argv, &actions);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
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
  benchmark::DoNotOptimize(output.data());
  return pid >= 0 && reap(pid) == 0 ? used : 0;
}

void BM_StatusOfTaskVsPosixSpawn(benchmark::State& state) {
  char path[] = "/bin/true";
  char* argv[] = {path, nullptr};
  Clock::duration quick{};
  Clock::duration plain{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    if (sparkler::QuickTask::statusOfTask("/bin/true") != 0) state.SkipWithError("true failed");
    const auto t1 = Clock::now();
    const pid_t pid = spawn(path, argv, nullptr);
    if (pid < 0 || reap(pid) != 0) state.SkipWithError("true failed");
    const auto t2 = Clock::now();
    quick += t1 - t0;
    plain += t2 - t1;
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["statusOfTask_us"] = seconds(quick) / n * 1e6;
  state.counters["posix_spawn_us"] = seconds(plain) / n * 1e6;
  state.counters["time_ratio"] = seconds(quick) / seconds(plain);
}
BENCHMARK(BM_StatusOfTaskVsPosixSpawn)->UseRealTime()->MinTime(2.0);

void BM_OutputOfTaskVsPlainPipe1GiB(benchmark::State& state) {
  Clock::duration quick{};
  Clock::duration plain{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    {
      const auto output = sparkler::QuickTask::outputOfTask(
          "/usr/bin/head", sparkler::Arguments{{"-c", std::to_string(kStreamBytes), "/dev/zero"}},
          false);
      if (!output || output->size() != kStreamBytes) state.SkipWithError("short output");
    }
    const auto t1 = Clock::now();
    if (plainPipe() != kStreamBytes) state.SkipWithError("short output");
    const auto t2 = Clock::now();
    quick += t1 - t0;
    plain += t2 - t1;
  }
  setThroughput(state, kStreamBytes, quick, plain, "outputOfTask_MBps", "throughput_ratio");
}
BENCHMARK(BM_OutputOfTaskVsPlainPipe1GiB)
    ->UseRealTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// 256 MiB of progress lines with the value only in the last one: the pattern search (each
// read decoded and searched) against the same stream drained from a plain pipe.
void BM_PatternSearchVsPlainPipe256MiB(benchmark::State& state) {
  const std::string script = "yes 'progress 42% of the download' | head -c " +
                             std::to_string(kSearchBytes) + "; echo 'version 9.9.9'";
  char shell[] = "/bin/sh";
  char dashC[] = "-c";
  std::string command = script;
  char* argv[] = {shell, dashC, command.data(), nullptr};
  Clock::duration quick{};
  Clock::duration plain{};
  for (auto _ : state) {
    const auto t0 = Clock::now();
    const auto value =
        sparkler::QuickTask::outputOfTask("/bin/sh", sparkler::Arguments{{"-c", script}},
                                          sparkler::SearchingForPattern{"version ([0-9.]+)"}, {});
    if (value != "9.9.9") state.SkipWithError("no value");
    const auto t1 = Clock::now();
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) state.SkipWithError("no pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    const pid_t pid = spawn(shell, argv, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    std::size_t total = 0;
    char buffer[64 * 1024];
    for (ssize_t n; (n = read(ends[0], buffer, sizeof buffer)) > 0;)
      total += static_cast<std::size_t>(n);
    close(ends[0]);
    if (pid < 0 || reap(pid) != 0 || total < kSearchBytes) state.SkipWithError("short output");
    const auto t2 = Clock::now();
    quick += t1 - t0;
    plain += t2 - t1;
  }
  setThroughput(state, kSearchBytes, quick, plain, "search_MBps", "search_throughput_ratio");
}
BENCHMARK(BM_PatternSearchVsPlainPipe256MiB)
    ->UseRealTime()
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond);

// Keeps the ratio counters for the closing lines.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs)
      for (const auto& [name, counter] : run.counters)
        if (name.find("ratio") != std::string::npos) ratios[name] = counter.value;
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> ratios;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (auto it = reporter.ratios.find("time_ratio"); it != reporter.ratios.end())
    std::printf("statusOfTask(/bin/true) time / posix_spawn+waitpid time: %.3f (target <= 1.1)\n",
                it->second);
  if (auto it = reporter.ratios.find("throughput_ratio"); it != reporter.ratios.end())
    std::printf("outputOfTask 1 GiB throughput / plain pipe throughput: %.3f (target >= 0.9)\n",
                it->second);
  if (auto it = reporter.ratios.find("search_throughput_ratio"); it != reporter.ratios.end())
    std::printf("pattern search 256 MiB throughput / plain pipe throughput: %.3f\n", it->second);
  benchmark::Shutdown();
  return 0;
}
