#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "sparkler/URLLoader.h"

namespace sparkler {

/// How a component fetches https URLs. The standard fetcher is URLLoader (libcurl); an app
/// or a test may hand in another, for example one that goes through its own network stack.
class URLFetcher {
 public:
  using Sink = std::function<bool(std::string_view piece)>;

  virtual ~URLFetcher() = default;

  /// Hands the body of `url` to `sink` piece by piece on the calling thread (it blocks), with
  /// the rules, limits and options of URLLoader::streamURL; the result says why it failed.
  /// Called from worker threads, possibly several at once.
  virtual URLLoader::Result fetch(std::string_view url, const URLLoader::Limits& limits,
                                  const URLLoader::Options& options, const Sink& sink) = 0;

  /// The whole body (an empty one for "304 Not Modified"); nullopt on failure, with `result`
  /// (when given) saying why.
  std::optional<std::string> contentsOfURL(std::string_view url, const URLLoader::Limits& limits,
                                           const URLLoader::Options& options,
                                           URLLoader::Result* result);

  /// The process's fetcher over libcurl (URLLoader). Never null.
  static std::shared_ptr<URLFetcher> standard();
};

}  // namespace sparkler
