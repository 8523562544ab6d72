#pragma once

// An HTTPS stand-in for the bridge: one asynchronous Boost.Beast thread on 127.0.0.1 with TLS (OpenSSL)
// and keep-alive, answering every request with one canned JSON body. Its certificate is made when it
// starts (openssl req, a P-256 key for 127.0.0.1) and trusted through certificateFile() only.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace corvane::bench {

class TlsLoopbackServer {
 public:
  explicit TlsLoopbackServer(std::string body);
  ~TlsLoopbackServer();
  TlsLoopbackServer(const TlsLoopbackServer&) = delete;
  TlsLoopbackServer& operator=(const TlsLoopbackServer&) = delete;

  std::string baseUrl() const;  ///< "https://127.0.0.1:<port>/"
  std::string certificateFile() const { return (dir_ / "cert.pem").string(); }

  struct Impl;

 private:
  std::filesystem::path dir_;
  std::string body_;
  std::uint16_t port_ = 0;
  std::unique_ptr<Impl> impl_;
  std::thread thread_;
};

}  // namespace corvane::bench
