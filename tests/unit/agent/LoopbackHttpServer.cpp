#include "LoopbackHttpServer.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>

namespace agent_test {

namespace {

// Winsock stays started for the life of the test process.
bool WinsockReady() {
  static const bool ready = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}

bool SendAll(SOCKET s, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - sent, 65536));
    const int n = ::send(s, bytes.data() + sent, chunk, 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(Response response)
    : response_(std::move(response)), listener_(INVALID_SOCKET) {
  if (!WinsockReady()) return;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;  // any free port
  int size = sizeof(address);
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(s, 8) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::closesocket(s);
    return;
  }
  listener_ = s;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() { Stop(); }

void LoopbackHttpServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != INVALID_SOCKET) ::closesocket(static_cast<SOCKET>(listener_));
  listener_ = INVALID_SOCKET;
}

std::wstring LoopbackHttpServer::Url(const std::wstring& path) const {
  return L"http://127.0.0.1:" + std::to_wstring(port_) + path;
}

std::vector<std::string> LoopbackHttpServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void LoopbackHttpServer::Serve() {
  const SOCKET listener = static_cast<SOCKET>(listener_);
  while (!stop_) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listener, &readable);
    timeval wait = {0, 100 * 1000};
    if (::select(0, &readable, nullptr, nullptr, &wait) <= 0) continue;  // only the listener is watched
    const SOCKET connection = ::accept(listener, nullptr, nullptr);
    if (connection != INVALID_SOCKET) Answer(connection);
  }
}

void LoopbackHttpServer::Answer(std::uintptr_t socketValue) {
  const SOCKET connection = static_cast<SOCKET>(socketValue);
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const int n = ::recv(connection, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request.substr(0, request.find("\r\n")));
  }
  const size_t length = response_.announcedLength.value_or(response_.body.size());
  const std::string head = "HTTP/1.1 " + response_.status + "\r\nContent-Type: application/octet-stream\r\n" +
                           "Content-Length: " + std::to_string(length) + "\r\nConnection: close\r\n\r\n";
  if (SendAll(connection, head)) SendAll(connection, response_.body);
  ::shutdown(connection, SD_SEND);
  ::closesocket(connection);
}

}  // namespace agent_test
