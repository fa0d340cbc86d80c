// A small HTTP server on 127.0.0.1 for the channel tests: it records every request and answers
// each through a handler. One connection at a time, every wait bounded, so a test that goes
// wrong fails instead of hanging.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kdht::testing {

struct SeenRequest {
  std::string method;
  std::string target;  // as sent: "/path?query", or an absolute URL through a proxy
  std::string headers; // the raw header block
  std::string body;
  // The value of a header (case-insensitive name), empty when absent.
  std::string Header(const std::string& name) const;
};

// What the handler wants done with one request.
struct Answer {
  enum class Kind { Reply, Stall, Close };
  Kind kind = Kind::Reply;
  std::string bytes;  // the whole raw reply for Kind::Reply

  static Answer Raw(std::string bytes) { return Answer{Kind::Reply, std::move(bytes)}; }
  // A complete reply with Content-Length and "Connection: close".
  static Answer Status(int status, const std::string& reason, const std::string& body,
                       const std::string& extraHeaders = "");
  // Keeps the connection open without answering (until the server stops, at most 10 s).
  static Answer Stall() { return Answer{Kind::Stall, {}}; }
  static Answer Close() { return Answer{Kind::Close, {}}; }
};

class LoopbackServer {
 public:
  using Handler = std::function<Answer(const SeenRequest&, int index)>;

  explicit LoopbackServer(Handler handler);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>" + path
  std::string Url(const std::string& path) const;
  std::vector<SeenRequest> Requests() const;
  int RequestCount() const;

 private:
  void Run();
  void Serve(std::uintptr_t client);

  Handler handler_;
  std::uintptr_t listener_ = ~std::uintptr_t{0};
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<SeenRequest> requests_;
  std::thread thread_;
};

// A loopback port with nothing listening on it (bound once, then released).
std::uint16_t UnusedLoopbackPort();

}  // namespace kdht::testing
