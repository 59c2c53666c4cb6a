#include "tove/testing/HttpsServer.h"

#include <httplib.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>

namespace tove::testing {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

bool addExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `commonName`, signed by `issuerKey` (self-signed when
// `issuer` is null); a CA certificate when `ca`.
Cert makeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer,
                     EVP_PKEY* issuerKey, bool ca) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  X509* x = cert.get();
  std::uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  bool ok = X509_set_version(x, 2) == 1 &&
            ASN1_INTEGER_set_uint64(X509_get_serialNumber(x), serial >> 1) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(x), 2 * 86400) != nullptr &&
            X509_set_pubkey(x, key) == 1;
  X509_NAME* name = X509_get_subject_name(x);
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                  -1, 0) == 1 &&
       X509_set_issuer_name(x, issuer ? X509_get_subject_name(issuer) : name) == 1;
  X509* signer = issuer ? issuer : x;
  if (ca) {
    ok = ok && addExtension(x, signer, NID_basic_constraints, "critical,CA:TRUE") &&
         addExtension(x, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         addExtension(x, signer, NID_subject_key_identifier, "hash");
  } else {
    ok = ok && addExtension(x, signer, NID_basic_constraints, "critical,CA:FALSE") &&
         addExtension(x, signer, NID_key_usage, "critical,digitalSignature") &&
         addExtension(x, signer, NID_ext_key_usage, "serverAuth") &&
         addExtension(x, signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost") &&
         addExtension(x, signer, NID_authority_key_identifier, "keyid");
  }
  ok = ok && X509_sign(x, issuerKey, EVP_sha256()) > 0;
  return ok ? std::move(cert) : nullptr;
}

bool writeCertificate(const std::filesystem::path& path, X509* cert) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  bool ok = PEM_write_X509(file, cert) == 1;
  return std::fclose(file) == 0 && ok;
}

}  // namespace

HttpsServer::HttpsServer() : dir_("tove-https") {
  if (dir_.path().empty()) return;
  caFile_ = dir_.path() / "ca.pem";
  webRoot_ = dir_.path() / "www";
  std::error_code error;
  std::filesystem::create_directories(webRoot_, error);

  Key caKey(EVP_EC_gen("P-256"));
  Key serverKey(EVP_EC_gen("P-256"));
  if (!caKey || !serverKey) return;
  std::random_device random;
  Cert ca = makeCertificate(caKey.get(), "Tove Test CA " + std::to_string(random()), nullptr,
                            caKey.get(), true);
  if (!ca) return;
  Cert leaf = makeCertificate(serverKey.get(), "127.0.0.1", ca.get(), caKey.get(), false);
  if (!leaf || !writeCertificate(caFile_, ca.get())) return;

  server_ = std::make_unique<httplib::SSLServer>(leaf.get(), serverKey.get());
  if (!server_->is_valid()) return;
  // One request per connection: a kept-alive connection would hold a worker (and the
  // destructor) for the keep-alive time-out.
  server_->set_keep_alive_max_count(1);
  server_->Get(".*", [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response);
  });
  int port = server_->bind_to_any_port("127.0.0.1");
  if (port <= 0) return;
  // The socket listens already: requests made before the thread runs wait in its backlog.
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() does nothing before the listener runs, so a server stopped too early would never
  // end; the listener starts within microseconds of its thread.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  if (!server_->is_running()) return;
  port_ = port;
}

HttpsServer::~HttpsServer() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::string HttpsServer::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

void HttpsServer::putFile(std::string_view path, std::string_view contents) {
  auto file = webRoot_ / std::filesystem::path(path).relative_path();
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
}

void HttpsServer::setFault(std::string_view path, Fault fault) {
  std::lock_guard lock(mutex_);
  rules_[std::string(path)] = Rule{fault, {}};
}

void HttpsServer::setRedirect(std::string_view path, std::string location) {
  std::lock_guard lock(mutex_);
  rules_[std::string(path)] = Rule{Fault::None, std::move(location)};
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

bool HttpsServer::waitForStop() {
  std::unique_lock lock(mutex_);
  stopping_.wait(lock, [this] { return stopped_; });
  return true;
}

void HttpsServer::handle(const httplib::Request& request, httplib::Response& response) {
  Rule rule;
  {
    std::lock_guard lock(mutex_);
    ++counts_[request.path];
    ++total_;
    if (auto it = rules_.find(request.path); it != rules_.end()) rule = it->second;
  }
  if (!rule.location.empty()) {
    response.set_redirect(rule.location);
    return;
  }
  if (rule.fault == Fault::NeverAnswer) {
    waitForStop();
    response.status = 503;
    return;
  }
  if (rule.fault == Fault::ServerError) {
    response.status = 500;
    response.set_content("<html>server error</html>", "text/html");
    return;
  }
  if (rule.fault == Fault::EndlessBody) {
    response.set_chunked_content_provider("application/octet-stream",
                                          [this](std::size_t, httplib::DataSink& sink) {
                                            static const std::string block(64 * 1024, 'x');
                                            {
                                              std::lock_guard lock(mutex_);
                                              if (stopped_) return false;
                                            }
                                            return sink.write(block.data(), block.size());
                                          });
    return;
  }

  auto file = webRoot_ / std::filesystem::path(request.path).relative_path();
  std::error_code error;
  auto size = std::filesystem::file_size(file, error);
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  if (request.path.find("..") != std::string::npos || error || !*in) {
    response.status = 404;
    return;
  }
  // Streamed from the file in slices, so that serving a large image costs the server (and a
  // benchmark measuring this process) little memory.
  std::size_t half = size / 2;
  Fault fault = rule.fault;
  response.set_content_provider(
      size, "application/octet-stream",
      [this, in, half, fault](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        std::size_t end = offset + std::min<std::size_t>(length, 256 * 1024);
        if (fault != Fault::None && end > half) end = half;
        if (end > offset) {
          std::string slice(end - offset, '\0');
          in->seekg(static_cast<std::streamoff>(offset));
          in->read(slice.data(), static_cast<std::streamsize>(slice.size()));
          if (!*in || !sink.write(slice.data(), slice.size())) return false;
        }
        if (fault != Fault::None && end >= half) {
          // A stalled body keeps the connection open without a byte more; a truncated one
          // drops it.
          if (fault == Fault::StalledBody) waitForStop();
          return false;
        }
        return true;
      });
}

}  // namespace tove::testing
