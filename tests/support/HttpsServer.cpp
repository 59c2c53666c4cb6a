#include "sparkler/testing/HttpsServer.h"

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

namespace sparkler::testing {

HttpsServer::HttpsServer() : dir_("tove-https") {
  if (dir_.path().empty()) return;
  caFile_ = dir_.path() / "cert.pem";
  webRoot_ = dir_.path() / "www";
  const auto key = dir_.path() / "key.pem";
  // A self-signed certificate of its own: a client that trusts it trusts no other server.
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
      "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout '" +
      key.string() + "' -out '" + caFile_.string() + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return;

  server_ = std::make_unique<httplib::SSLServer>(caFile_.c_str(), key.c_str());
  if (!server_->is_valid()) return;
  // One request per connection: a kept-alive one would hold the destructor for its time-out.
  server_->set_keep_alive_max_count(1);
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response);
  });
  int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) return;
  // Requests made before the listener runs wait in the backlog; but stop() does nothing
  // before it runs, so the constructor waits for it.
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  if (server_->is_running()) port_ = port;
}

HttpsServer::~HttpsServer() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string HttpsServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void HttpsServer::putFile(std::string_view path, std::string_view contents) {
  writeFile(webRoot_ / std::filesystem::path(path).relative_path(), contents);
}

void HttpsServer::setRule(std::string_view path, Rule rule) {
  std::lock_guard lock(mutex_);
  rules_[std::string(path)] = std::move(rule);
}

bool HttpsServer::waitForRequests(std::string_view path, std::size_t count,
                                  std::chrono::seconds timeout) const {
  std::unique_lock lock(mutex_);
  return requested_.wait_for(lock, timeout, [&] {
    auto it = counts_.find(path);
    return it != counts_.end() && it->second >= count;
  });
}

std::size_t HttpsServer::requestCount(std::string_view path) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(path);
  return it == counts_.end() ? 0 : it->second;
}

std::size_t HttpsServer::totalRequests() const {
  std::lock_guard lock(mutex_);
  return total_;
}

void HttpsServer::setEntityTag(std::string_view path, std::string tag) {
  std::lock_guard lock(mutex_);
  tags_[std::string(path)] = std::move(tag);
}

void HttpsServer::handle(const httplib::Request& request, httplib::Response& response) {
  Rule rule;
  std::string tag;
  {
    std::unique_lock lock(mutex_);
    ++counts_[request.path];
    ++total_;
    requested_.notify_all();
    if (auto it = rules_.find(request.path); it != rules_.end()) rule = it->second;
    if (auto it = tags_.find(request.path); it != tags_.end()) tag = it->second;
    if (rule.fault == Fault::NeverAnswer) {
      stopping_.wait(lock, [this] { return stopped_; });
      response.status = 503;
      return;
    }
  }
  if (!rule.location.empty()) {
    response.set_redirect(rule.location);
    return;
  }
  if (!tag.empty()) {
    if (request.get_header_value("If-None-Match") == tag) {
      response.status = 304;
      return;
    }
    response.set_header("ETag", tag);
  }
  if (rule.fault == Fault::EndlessBody) {
    response.set_chunked_content_provider("application/octet-stream",
                                          [this](std::size_t, httplib::DataSink& sink) {
                                            static const std::string block(64 * 1024, 'x');
                                            if (std::lock_guard lock(mutex_); stopped_)
                                              return false;
                                            return sink.write(block.data(), block.size());
                                          });
    return;
  }

  auto file = webRoot_ / std::filesystem::path(request.path).relative_path();
  std::error_code error;
  auto size = std::filesystem::file_size(file, error);
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  const bool found = request.path.find("..") == std::string::npos && !error && *in;
  if (rule.status != 200) {
    response.status = rule.status;
    if (found) response.set_content(readFile(file), "application/octet-stream");
    return;
  }
  if (!found) {
    response.status = 404;
    return;
  }
  // Streamed in slices, so that a large image costs little memory (benchmarks measure it).
  const bool slow = rule.fault == Fault::SlowDrip;
  const std::size_t end = rule.fault == Fault::TruncatedBody ? size / 2 : size;
  response.set_content_provider(
      size, "application/octet-stream",
      [this, in, end, slow](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        if (offset >= end) return false;
        std::string slice(slow ? 1 : std::min({length, end - offset, std::size_t{256 * 1024}}),
                          '\0');
        in->seekg(static_cast<std::streamoff>(offset));
        in->read(slice.data(), static_cast<std::streamsize>(slice.size()));
        if (!*in || !sink.write(slice.data(), slice.size())) return false;
        if (!slow) return true;
        std::unique_lock lock(mutex_);
        return !stopping_.wait_for(lock, std::chrono::milliseconds(500),
                                   [this] { return stopped_; });
      });
}

}  // namespace sparkler::testing
