#include "sparkler/URLFetcher.h"

namespace sparkler {
namespace {

class CurlFetcher final : public URLFetcher {
 public:
  URLLoader::Result fetch(std::string_view url, const URLLoader::Limits& limits,
                          const URLLoader::Options& options, const Sink& sink) override {
    return URLLoader::streamURL(url, limits, sink, options);
  }
};

}  // namespace

std::optional<std::string> URLFetcher::contentsOfURL(std::string_view url,
                                                     const URLLoader::Limits& limits,
                                                     const URLLoader::Options& options,
                                                     URLLoader::Result* result) {
  try {
    std::string body;
    URLLoader::Result outcome = fetch(url, limits, options, [&body](std::string_view piece) {
      body.append(piece);
      return true;
    });
    const bool ok = outcome.ok();
    if (result != nullptr) *result = std::move(outcome);
    if (!ok) return std::nullopt;
    return body;
  } catch (...) {
    if (result != nullptr) *result = URLLoader::Result::failure("out of memory");
    return std::nullopt;
  }
}

std::shared_ptr<URLFetcher> URLFetcher::standard() {
  // Never destroyed: worker jobs may still fetch while the process exits.
  static auto* shared = new std::shared_ptr<URLFetcher>(std::make_shared<CurlFetcher>());
  return *shared;
}

}  // namespace sparkler
