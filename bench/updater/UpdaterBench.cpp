// Cache verification and verified download of a 50 MB image, each against the command-line
// tools doing the same work, with the ratios and the download's peak memory printed at the end;
// what the worst manifests a server can send cost a check; and the bytes a check of an unchanged
// manifest receives with and without validators.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "sparkler/Bundle.h"
#include "sparkler/Checksum.h"
#include "sparkler/Manifest.h"
#include "sparkler/ManifestSignature.h"
#include "sparkler/Sparkler.h"
#include "sparkler/URLFetcher.h"
#include "sparkler/URLLoader.h"
#include "sparkler/testing/HttpsServer.h"
#include "sparkler/testing/TempHome.h"
#include "sparkler/testing/TestBundle.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr std::size_t kImageSize = 50'000'000;

// The standard fetcher, counting what the server sent; it can leave validators out, as a
// client without them would.
class CountingFetcher final : public sparkler::URLFetcher {
 public:
  sparkler::URLLoader::Result fetch(std::string_view url, const sparkler::URLLoader::Limits& limits,
                                    const sparkler::URLLoader::Options& options,
                                    const Sink& sink) override {
    auto sent = options;
    if (!sendValidators) sent.validators = {};
    auto result = sparkler::URLFetcher::standard()->fetch(url, limits, sent, sink);
    received += result.bytesReceived;
    return result;
  }
  std::atomic<bool> sendValidators{true};
  std::atomic<std::uint64_t> received{0};
};

struct Setup {
  sparkler::testing::TempHome home;
  sparkler::testing::HttpsServer server;
  std::shared_ptr<CountingFetcher> fetcher = std::make_shared<CountingFetcher>();
  std::shared_ptr<sparkler::Sparkler> sparkler;
  fs::path folder;
  fs::path cachedFile;
  fs::path curlFile;
  nlohmann::json entry;

  Setup() {
    folder = home.dataHome() / "org.tove.Tove/updates/software";
    fs::create_directories(folder);
    cachedFile = folder / "Tove-2.0.0.dmg";
    curlFile = home.temporary() / "curl.dmg";
    std::string image(kImageSize, '\0');
    for (std::size_t i = 0; i < image.size(); ++i)
      image[i] = static_cast<char>(i * 2654435761u >> 13);
    server.putFile("/mac/Tove-2.0.0.dmg", image);
    entry = {{"version", "2.0.0"},
             {"name", "Tove-2.0.0.dmg"},
             {"hash", *sparkler::Checksum::MD5String(image)},
             {"size", image.size()}};
    // A manifest of 20 releases, the newest one the running version: nothing to fetch.
    nlohmann::json manifest = nlohmann::json::array();
    for (int minor = 0; minor < 20; ++minor) {
      manifest.push_back({{"version", "1." + std::to_string(minor) + ".0"},
                          {"name", "Tove-1." + std::to_string(minor) + ".0.dmg"},
                          {"hash", std::string(32, 'a')},
                          {"size", 30'000'000}});
    }
    server.putFile("/mac/_.json", manifest.dump());
    server.setEntityTag("/mac/_.json", "\"20-releases\"");
    sparkler::SparklerConfiguration configuration;
    configuration.manifestURL = server.url("/mac/_.json");
    configuration.bundle =
        sparkler::testing::makeTestBundle(home.temporary(), "Tove", "1.19.0", "org.tove.Tove");
    configuration.extraCAFile = server.caFile();
    sparkler = sparkler::Sparkler::create(configuration, {.fetcher = fetcher});
  }
};

Setup* setup = nullptr;

// Runs `command` through /bin/sh with its output discarded; its exit status.
int shell(const std::string& command) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = 0;
  int status = -1;
  if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) == 0) {
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long statusKilobytes(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size() + 1));
  }
  return -1;
}

void BM_Cached(benchmark::State& state) {
  if (!setup->sparkler->download(setup->entry)) state.SkipWithError("no download");
  for (auto _ : state) {
    if (!setup->sparkler->cached(setup->entry)) state.SkipWithError("cached copy not intact");
  }
}

void BM_Md5sum(benchmark::State& state) {
  for (auto _ : state) {
    if (shell("md5sum '" + setup->cachedFile.string() + "'") != 0) state.SkipWithError("md5sum");
  }
}

void BM_Download(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove(setup->cachedFile);
    state.ResumeTiming();
    if (!setup->sparkler->download(setup->entry)) state.SkipWithError("download failed");
  }
}

void BM_CurlMd5sum(benchmark::State& state) {
  std::string command = "curl -sSf --cacert '" + setup->server.caFile().string() + "' -o '" +
                        setup->curlFile.string() + "' '" +
                        setup->server.url("/mac/Tove-2.0.0.dmg") + "' && md5sum '" +
                        setup->curlFile.string() + "'";
  for (auto _ : state) {
    if (shell(command) != 0) state.SkipWithError("curl or md5sum failed");
  }
}

// One check of an unchanged manifest; the bytes received per check as a counter.
void checkUnchanged(benchmark::State& state, bool validators) {
  setup->fetcher->sendValidators = validators;
  setup->sparkler->coreCheck();  // the first answer brings the validators
  const std::uint64_t before = setup->fetcher->received;
  for (auto _ : state) {
    if (setup->sparkler->coreCheck() || setup->sparkler->lastError()) {
      state.SkipWithError("the check did not complete without an update");
    }
  }
  state.counters["bytes_per_check"] = static_cast<double>(setup->fetcher->received - before) /
                                      static_cast<double>(state.iterations());
}

void BM_CheckUnchangedWithoutValidators(benchmark::State& state) {
  checkUnchanged(state, false);
}
void BM_CheckUnchangedWithValidators(benchmark::State& state) {
  checkUnchanged(state, true);
}

// The largest manifest (1 MiB of small entries), one nested 60,000 deep (refused), and the
// log text of an entry that is one 1 MiB string.
const std::string kEntryText = R"({"version":"1.0.0","name":"a.dmg","hash":"b","size":1})";
std::string manyEntries() {
  std::string body = "[" + kEntryText;
  while (body.size() + kEntryText.size() + 2 < sparkler::Manifest::kMaximumSize)
    body += "," + kEntryText;
  return body + "]";
}

void BM_ReadLargestManifest(benchmark::State& state) {
  const std::string body = manyEntries();
  for (auto _ : state) {
    if (!sparkler::Manifest::read(body, nullptr)) state.SkipWithError("not read");
  }
}

void BM_RefuseDeepManifest(benchmark::State& state) {
  const std::string body = "[" + kEntryText.substr(0, kEntryText.size() - 1) +
                           ",\"x\":" + std::string(60'000, '[') + std::string(60'000, ']') + "}]";
  for (auto _ : state) {
    if (sparkler::Manifest::read(body, nullptr)) state.SkipWithError("read");
  }
}

void BM_DescribeWidestEntry(benchmark::State& state) {
  const nlohmann::json entry = {{"notes", std::string(sparkler::Manifest::kMaximumSize, 'n')}};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        sparkler::Manifest::describe(entry, sparkler::Manifest::kDescriptionBytes));
  }
}

// Verifying the signature of the largest manifest, the work a check with keys adds before it
// reads the manifest.
void BM_VerifyLargestManifest(benchmark::State& state) {
  namespace signature = sparkler::ManifestSignature;
  const std::string body = manyEntries();
  const auto key = signature::SigningKey::generate(nullptr);
  const std::shared_ptr<signature::SigningKey> keys[] = {key};
  const std::string file = signature::signFile(body, 4'000'000'000, keys);
  const signature::PublicKey trusted[] = {key->publicKey()};
  for (auto _ : state) {
    if (signature::verify(body, file, trusted, 0).state != signature::State::valid)
      state.SkipWithError("not valid");
  }
}

BENCHMARK(BM_ReadLargestManifest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VerifyLargestManifest)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefuseDeepManifest)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DescribeWidestEntry)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckUnchangedWithoutValidators)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_CheckUnchangedWithValidators)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_Cached)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_Md5sum)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_Download)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);
BENCHMARK(BM_CurlMd5sum)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
        seconds[run.run_name.function_name] = run.real_accumulated_time / run.iterations;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Setup state;
  setup = &state;
  if (!state.server.ok() || !state.sparkler) return 1;

  // Peak memory of one download, from a reset high-water mark (Linux: "5" to clear_refs).
  std::ofstream("/proc/self/clear_refs") << "5";
  long before = statusKilobytes("VmRSS:");
  bool downloaded = state.sparkler->download(state.entry);
  long peak = statusKilobytes("VmHWM:");

  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();

  auto& s = collector.seconds;
  std::printf("\ndownload of %zu bytes: %s; peak memory %.1f MB above the %.1f MB before it\n",
              kImageSize, downloaded ? "ok" : "FAILED", (peak - before) / 1024.0, before / 1024.0);
  if (s.count("BM_Cached") && s.count("BM_Md5sum")) {
    std::printf("cached / md5sum:               %.2fx (target <= 1.15)\n",
                s["BM_Cached"] / s["BM_Md5sum"]);
  }
  if (s.count("BM_Download") && s.count("BM_CurlMd5sum")) {
    std::printf("download / (curl + md5sum):    %.2fx (target <= 1.20)\n",
                s["BM_Download"] / s["BM_CurlMd5sum"]);
  }
  return 0;
}
