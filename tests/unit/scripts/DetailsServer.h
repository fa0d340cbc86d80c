// A stand-in of the management server's two script pages on 127.0.0.1: it records every post
// (page, query, body) and answers each with the body its handler gives, status 200. One
// connection at a time and every socket wait bounded, so a test that goes wrong fails rather
// than hangs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kdht::testing {

struct DetailsPost {
  std::string page;   // "wpdcmscriptdetails" for "/tfr_wpdcmscriptdetails.asp?..."
  std::string query;  // after the "?"
  std::string body;
};

class DetailsServer {
 public:
  using Handler = std::function<std::string(const DetailsPost&)>;

  explicit DetailsServer(Handler handler);
  ~DetailsServer();
  DetailsServer(const DetailsServer&) = delete;
  DetailsServer& operator=(const DetailsServer&) = delete;

  // "http://127.0.0.1:<port>/"
  std::string BaseUrl() const;
  std::vector<DetailsPost> Posts() const;
  // The bodies posted to one page, in order.
  std::vector<std::string> Bodies(const std::string& page) const;

 private:
  void Run();
  void Serve(std::uintptr_t client);

  Handler handler_;
  std::uintptr_t listener_ = ~std::uintptr_t{0};
  std::uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<DetailsPost> posts_;
  std::thread thread_;
};

}  // namespace kdht::testing
