#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "sparkler/testing/TempDir.h"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace sparkler::testing {

/// An HTTPS server on 127.0.0.1, on a port chosen for the run, with a self-signed certificate
/// (for 127.0.0.1 and localhost) made for it. It serves the files of a temporary web root and
/// can misbehave on chosen paths. Stopped, with its files removed, on destruction.
class HttpsServer {
 public:
  enum class Fault {
    None,
    NeverAnswer,    // reads the request and never answers
    EndlessBody,    // sends a chunked body that never ends
    TruncatedBody,  // announces the full length, sends half and closes the connection
    SlowDrip,       // announces the full length and sends one byte every half second
  };

  HttpsServer();
  ~HttpsServer();
  HttpsServer(const HttpsServer&) = delete;
  HttpsServer& operator=(const HttpsServer&) = delete;

  /// Whether the server is listening.
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }

  /// https://127.0.0.1:<port><path>; `path` starts with "/".
  std::string url(std::string_view path) const;

  /// The PEM file of the server's certificate; trust it to talk to the server.
  const std::filesystem::path& caFile() const { return caFile_; }

  /// Writes `contents` to the web root at `path` (starting with "/"), creating folders.
  void putFile(std::string_view path, std::string_view contents);

  /// Makes requests for `path` misbehave as `fault` (Fault::None restores normal serving).
  void setFault(std::string_view path, Fault fault) { setRule(path, {fault, {}, 200}); }

  /// Answers requests for `path` with a 302 redirect to `location`.
  void setRedirect(std::string_view path, std::string location) {
    setRule(path, {Fault::None, std::move(location), 200});
  }

  /// Answers requests for `path` with `status` and the file's contents, if any.
  void setStatus(std::string_view path, int status) { setRule(path, {Fault::None, {}, status}); }

  /// Sends `tag` (any text; empty for none) as the ETag of `path`, and answers 304 to a
  /// request whose If-None-Match is `tag`.
  void setEntityTag(std::string_view path, std::string tag);

  /// Whether `count` requests for `path` arrived within `timeout` (a guard).
  bool waitForRequests(std::string_view path, std::size_t count,
                       std::chrono::seconds timeout = std::chrono::seconds(30)) const;

  /// Requests received for `path`, and in all.
  std::size_t requestCount(std::string_view path) const;
  std::size_t totalRequests() const;

 private:
  struct Rule {
    Fault fault = Fault::None;
    std::string location;
    int status = 200;
  };
  void setRule(std::string_view path, Rule rule);
  void handle(const httplib::Request& request, httplib::Response& response);

  TempDir dir_;
  std::filesystem::path caFile_;
  std::filesystem::path webRoot_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::thread thread_;
  int port_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  mutable std::condition_variable requested_;
  bool stopped_ = false;
  std::map<std::string, Rule, std::less<>> rules_;
  std::map<std::string, std::string, std::less<>> tags_;
  std::map<std::string, std::size_t, std::less<>> counts_;
  std::size_t total_ = 0;
};

}  // namespace sparkler::testing
