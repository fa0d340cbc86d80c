// A small HTTP server on 127.0.0.1 (a port the system picks) for the tests of every client
// that talks to the management server or downloads a file: it records every request and
// answers each as the test's handler says, with a reply, a reply cut short, a stall or a closed
// connection. One connection at a time, every wait bounded, so a test that goes wrong fails
// instead of hanging.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kdht::testing {

struct SeenRequest {
  std::string line;    // the request line as sent: "GET /a.bin HTTP/1.1"
  std::string method;
  std::string target;  // as sent: "/path?query", or an absolute URL through a proxy
  std::string headers; // the raw header block
  std::string body;
  // The value of a header (case-insensitive name), empty when absent.
  std::string Header(const std::string& name) const;
  // The target before "?" and after it (empty without one).
  std::string Path() const;
  std::string Query() const;
};

// What the handler wants done with one request.
struct Answer {
  enum class Kind { Reply, Stall, Close, Trickle };
  Kind kind = Kind::Reply;
  std::string bytes;  // the whole raw reply for Kind::Reply, the part sent at once for Kind::Trickle
  std::string trickled;  // Kind::Trickle: the rest of the reply, one byte at a time
  int intervalMs = 0;    // Kind::Trickle: the wait before each of those bytes

  static Answer Raw(std::string bytes) { return Answer{Kind::Reply, std::move(bytes), {}, 0}; }
  // A complete reply with Content-Length and "Connection: close"; extraHeaders end in CR LF.
  static Answer Status(int status, const std::string& reason, const std::string& body,
                       const std::string& extraHeaders = "");
  // Announces announcedLength bytes of body, sends only `body`, then closes.
  static Answer CutShort(int status, const std::string& reason, const std::string& body, std::size_t announcedLength,
                         const std::string& extraHeaders = "");
  // Keeps the connection open without answering (until the server stops, at most 10 s).
  static Answer Stall() { return Answer{Kind::Stall, {}, {}, 0}; }
  static Answer Close() { return Answer{Kind::Close, {}, {}, 0}; }
  // `atOnce`, then `trickled` one byte every intervalMs (until the client leaves or the server
  // stops, at most 10 s).
  static Answer Trickle(std::string atOnce, std::string trickled, int intervalMs) {
    return Answer{Kind::Trickle, std::move(atOnce), std::move(trickled), intervalMs};
  }
};

class LoopbackServer {
 public:
  using Handler = std::function<Answer(const SeenRequest&, int index)>;

  // Throws std::runtime_error when no loopback port can be had.
  explicit LoopbackServer(Handler handler);
  // Gives every request the same answer.
  explicit LoopbackServer(Answer always);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  // True until Stop().
  bool listening() const { return !stopped_; }
  // "http://127.0.0.1:<port>" + path
  std::string Url(const std::string& path) const;
  std::vector<SeenRequest> Requests() const;
  // The request lines alone, in order.
  std::vector<std::string> RequestLines() const;
  int RequestCount() const;
  // Connections accepted, whether or not a whole request came on them.
  int ConnectionCount() const;
  // Stops accepting; later connections to port() are refused.
  void Stop();

 private:
  void Run();
  void Serve(std::uintptr_t client);

  Handler handler_;
  std::uintptr_t listener_ = ~std::uintptr_t{0};
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  bool stopped_ = false;
  mutable std::mutex mutex_;
  std::vector<SeenRequest> requests_;
  int connections_ = 0;
  std::thread thread_;
};

// A loopback port with nothing listening on it (bound once, then released).
std::uint16_t UnusedLoopbackPort();

}  // namespace kdht::testing
