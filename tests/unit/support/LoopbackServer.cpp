#include "support/LoopbackServer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>

namespace kdht::testing {
namespace {

constexpr DWORD kSocketTimeoutMs = 5000;
constexpr auto kMaxStall = std::chrono::seconds(10);

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

SOCKET ToSocket(std::uintptr_t s) { return static_cast<SOCKET>(s); }

struct WinsockUser {
  WinsockUser() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) throw std::runtime_error("WSAStartup failed");
  }
  ~WinsockUser() { WSACleanup(); }
};

SOCKET BoundLoopbackSocket(std::uint16_t* port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) throw std::runtime_error("socket failed");
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    closesocket(s);
    throw std::runtime_error("bind failed");
  }
  int len = sizeof addr;
  getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return s;
}

void SendAll(SOCKET s, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 64 * 1024));
    const int n = send(s, bytes.data() + sent, chunk, 0);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

}  // namespace

std::string SeenRequest::Header(const std::string& name) const {
  const std::string wanted = Lower(name) + ":";
  size_t start = 0;
  while (start < headers.size()) {
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) end = headers.size();
    const std::string line = headers.substr(start, end - start);
    if (Lower(line).rfind(wanted, 0) == 0) {
      std::string value = line.substr(wanted.size());
      while (!value.empty() && value.front() == ' ') value.erase(value.begin());
      return value;
    }
    start = end + 2;
  }
  return {};
}

std::string SeenRequest::Path() const { return target.substr(0, target.find('?')); }

std::string SeenRequest::Query() const {
  const size_t q = target.find('?');
  return q == std::string::npos ? std::string() : target.substr(q + 1);
}

Answer Answer::Status(int status, const std::string& reason, const std::string& body,
                      const std::string& extraHeaders) {
  return Raw("HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body);
}

Answer Answer::CutShort(int status, const std::string& reason, const std::string& body, size_t announcedLength,
                        const std::string& extraHeaders) {
  return Raw("HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: " +
             std::to_string(announcedLength) + "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body);
}

LoopbackServer::LoopbackServer(Handler handler) : handler_(std::move(handler)) {
  static WinsockUser winsock;
  SOCKET s = BoundLoopbackSocket(&port_);
  if (listen(s, 8) != 0) {
    closesocket(s);
    throw std::runtime_error("listen failed");
  }
  listener_ = static_cast<std::uintptr_t>(s);
  thread_ = std::thread([this] { Run(); });
}

LoopbackServer::LoopbackServer(Answer always)
    : LoopbackServer([always = std::move(always)](const SeenRequest&, int) { return always; }) {}

LoopbackServer::~LoopbackServer() { Stop(); }

void LoopbackServer::Stop() {
  if (stopped_) return;
  stopped_ = true;
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  closesocket(ToSocket(listener_));
}

std::string LoopbackServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<SeenRequest> LoopbackServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<std::string> LoopbackServer::RequestLines() const {
  std::vector<std::string> lines;
  for (const SeenRequest& request : Requests()) lines.push_back(request.line);
  return lines;
}

int LoopbackServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(requests_.size());
}

int LoopbackServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void LoopbackServer::Run() {
  while (!stop_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(ToSocket(listener_), &readable);
    timeval wait = {0, 50 * 1000};
    if (select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;
    SOCKET client = accept(ToSocket(listener_), nullptr, nullptr);
    if (client == INVALID_SOCKET) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++connections_;
    }
    Serve(static_cast<std::uintptr_t>(client));
    closesocket(client);
  }
}

void LoopbackServer::Serve(std::uintptr_t clientValue) {
  const SOCKET client = ToSocket(clientValue);
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&kSocketTimeoutMs), sizeof kSocketTimeoutMs);
  setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&kSocketTimeoutMs), sizeof kSocketTimeoutMs);

  std::string data;
  char buffer[8192];
  size_t headerEnd = std::string::npos;
  while ((headerEnd = data.find("\r\n\r\n")) == std::string::npos) {
    const int n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) return;
    data.append(buffer, static_cast<size_t>(n));
  }
  SeenRequest request;
  const std::string head = data.substr(0, headerEnd);
  const size_t firstLineEnd = head.find("\r\n");
  request.line = head.substr(0, firstLineEnd);
  const std::string& requestLine = request.line;
  request.headers = firstLineEnd == std::string::npos ? std::string() : head.substr(firstLineEnd + 2);
  const size_t sp1 = requestLine.find(' ');
  const size_t sp2 = requestLine.find(' ', sp1 + 1);
  request.method = requestLine.substr(0, sp1);
  request.target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string lengthText = request.Header("Content-Length");
  const size_t length = lengthText.empty() ? 0 : std::stoul(lengthText);
  request.body = data.substr(headerEnd + 4);
  while (request.body.size() < length) {
    const int n = recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.body.append(buffer, static_cast<size_t>(n));
  }

  int index = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = static_cast<int>(requests_.size());
    requests_.push_back(request);
  }
  const Answer answer = handler_(request, index);
  switch (answer.kind) {
    case Answer::Kind::Reply:
      SendAll(client, answer.bytes);
      shutdown(client, SD_SEND);
      break;
    case Answer::Kind::Stall: {
      const auto until = std::chrono::steady_clock::now() + kMaxStall;
      while (!stop_ && std::chrono::steady_clock::now() < until) Sleep(20);
      break;
    }
    case Answer::Kind::Close: break;
    case Answer::Kind::Trickle: {
      SendAll(client, answer.bytes);
      const auto until = std::chrono::steady_clock::now() + kMaxStall;
      for (size_t i = 0; i < answer.trickled.size() && !stop_ && std::chrono::steady_clock::now() < until; ++i) {
        Sleep(static_cast<DWORD>(answer.intervalMs));
        if (send(client, answer.trickled.data() + i, 1, 0) != 1) break;
      }
      break;
    }
  }
}

std::uint16_t UnusedLoopbackPort() {
  static WinsockUser winsock;
  std::uint16_t port = 0;
  SOCKET s = BoundLoopbackSocket(&port);
  closesocket(s);
  return port;
}

}  // namespace kdht::testing
