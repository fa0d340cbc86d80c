#include "scripts/DetailsServer.h"

#include <winsock2.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kdht::testing {
namespace {

constexpr DWORD kSocketTimeoutMs = 5000;

SOCKET AsSocket(std::uintptr_t s) { return static_cast<SOCKET>(s); }

struct Winsock {
  Winsock() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  }
  ~Winsock() { WSACleanup(); }
};

std::string HeaderValue(const std::string& head, const std::string& name) {
  std::string lowerHead = head;
  std::transform(lowerHead.begin(), lowerHead.end(), lowerHead.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  const size_t p = lowerHead.find("\r\n" + name + ":");
  if (p == std::string::npos) return {};
  size_t start = p + name.size() + 3;
  const size_t end = head.find("\r\n", start);
  while (start < head.size() && head[start] == ' ') ++start;
  return head.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

DetailsServer::DetailsServer(Handler handler) : handler_(std::move(handler)) {
  static Winsock winsock;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket failed");
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) != 0 || listen(s, 8) != 0) {
    closesocket(s);
    throw std::runtime_error("loopback listener failed");
  }
  port_ = ntohs(addr.sin_port);
  listener_ = static_cast<std::uintptr_t>(s);
  thread_ = std::thread([this] { Run(); });
}

DetailsServer::~DetailsServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  closesocket(AsSocket(listener_));
}

std::string DetailsServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

std::vector<DetailsPost> DetailsServer::Posts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return posts_;
}

std::vector<std::string> DetailsServer::Bodies(const std::string& page) const {
  std::vector<std::string> bodies;
  for (const auto& post : Posts()) {
    if (post.page == page) bodies.push_back(post.body);
  }
  return bodies;
}

void DetailsServer::Run() {
  while (!stop_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(AsSocket(listener_), &readable);
    timeval wait = {0, 50 * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    SOCKET client = accept(AsSocket(listener_), nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    Serve(static_cast<std::uintptr_t>(client));
    closesocket(client);
  }
}

void DetailsServer::Serve(std::uintptr_t clientValue) {
  const SOCKET client = AsSocket(clientValue);
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&kSocketTimeoutMs), sizeof kSocketTimeoutMs);
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&kSocketTimeoutMs), sizeof kSocketTimeoutMs);
  std::string data;
  char buffer[8192];
  size_t headEnd = std::string::npos;
  while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
    const int n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    data.append(buffer, static_cast<size_t>(n));
  }
  const std::string head = data.substr(0, headEnd);
  const std::string lengthText = HeaderValue(head, "content-length");
  const size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
  DetailsPost post;
  post.body = data.substr(headEnd + 4);
  while (post.body.size() < length) {
    const int n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    post.body.append(buffer, static_cast<size_t>(n));
  }
  // "POST /tfr_<page>.asp?<query> HTTP/1.1"
  const size_t sp1 = head.find(' ');
  const size_t sp2 = head.find(' ', sp1 + 1);
  const std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);
  const size_t q = target.find('?');
  std::string path = target.substr(0, q);
  post.query = q == std::string::npos ? std::string() : target.substr(q + 1);
  if (path.rfind("/tfr_", 0) == 0 && path.size() > 9 && path.compare(path.size() - 4, 4, ".asp") == 0) {
    post.page = path.substr(5, path.size() - 9);
  } else {
    post.page = path;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    posts_.push_back(post);
  }
  const std::string body = handler_(post);
  const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  size_t sent = 0;
  while (sent < reply.size()) {
    const int n = send(client, reply.data() + sent, static_cast<int>(reply.size() - sent), 0);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(client, SD_SEND);
}

}  // namespace kdht::testing
