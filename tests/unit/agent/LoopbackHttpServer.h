// A one-response HTTP server on 127.0.0.1 for the download tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace agent_test {

class LoopbackHttpServer {
 public:
  struct Response {
    std::string status = "200 OK";
    std::string body;
    // Content-Length to announce when it should differ from the body actually sent.
    std::optional<size_t> announcedLength;
  };

  // Answers every request with `response` until destroyed. Check listening() first.
  explicit LoopbackHttpServer(Response response);
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  bool listening() const { return port_ != 0; }
  unsigned short port() const { return port_; }
  std::wstring Url(const std::wstring& path) const;
  // Request lines received so far, e.g. "GET /a.bin HTTP/1.1".
  std::vector<std::string> Requests() const;
  // Stops accepting; later connections to port() are refused.
  void Stop();

 private:
  void Serve();
  void Answer(std::uintptr_t connection);

  Response response_;
  std::uintptr_t listener_;  // a SOCKET
  unsigned short port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace agent_test
