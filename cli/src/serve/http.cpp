// Where serve listens: the address parsed, resolved and bound, with plain sockets.
#include "http.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <stdexcept>

namespace velprobe::serve {
namespace {

std::string hostPort(const std::string& host, int port) {
  return (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

Endpoint parseEndpoint(const std::string& text) {
  Endpoint endpoint;
  std::string port = text;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
      throw std::invalid_argument("write an IPv6 address as [ADDRESS]:PORT");
    endpoint.host = text.substr(1, close - 1);
    if (endpoint.host.empty()) throw std::invalid_argument("the brackets hold no address");
    port = text.substr(close + 2);
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) throw std::invalid_argument("write an IPv6 address as [ADDRESS]:PORT");
    if (colon > 0) endpoint.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned number = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() || number > 65535)
    throw std::invalid_argument("the port must be a number from 0 to 65535");
  endpoint.port = static_cast<int>(number);
  return endpoint;
}

Listener::Listener(const Endpoint& endpoint) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(endpoint.port);
  if (const int rc = ::getaddrinfo(endpoint.host.c_str(), service.c_str(), &hints, &found); rc != 0)
    throw std::runtime_error("cannot listen on " + hostPort(endpoint.host, endpoint.port) + ": " +
                             (rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc)));
  std::string why;
  for (const addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
    // SO_REUSEADDR lets a restart bind over connections still closing; without
    // SO_REUSEPORT a second server on the same address fails with EADDRINUSE.
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    const int on = 1;
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        ::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
      fd_ = fd;
      break;
    }
    const int error = errno;
    if (fd >= 0) ::close(fd);
    char numeric[INET6_ADDRSTRLEN] = "?";
    ::getnameinfo(a->ai_addr, a->ai_addrlen, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST);
    const std::string where = hostPort(numeric, endpoint.port);
    why = error == EADDRINUSE ? where + " is in use (by another program, or another velprobe serve)"
          : error == EACCES   ? where + ": permission denied (ports below 1024 need privileges)"
                              : where + ": " + std::strerror(error);
  }
  ::freeaddrinfo(found);
  if (fd_ < 0) throw std::runtime_error("cannot listen on " + why);

  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
  char numeric[INET6_ADDRSTRLEN] = "";
  char service_[16] = "";
  ::getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, numeric, sizeof numeric, service_, sizeof service_,
                NI_NUMERICHOST | NI_NUMERICSERV);
  address_ = numeric;
  port_ = std::atoi(service_);
  if (bound.ss_family == AF_INET) {
    const in_addr_t a = ntohl(reinterpret_cast<const sockaddr_in*>(&bound)->sin_addr.s_addr);
    everyInterface_ = a == INADDR_ANY;
    loopback_ = (a >> 24) == 127;
  } else {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_addr;
    everyInterface_ = IN6_IS_ADDR_UNSPECIFIED(&a);
    loopback_ = IN6_IS_ADDR_LOOPBACK(&a);
  }
}

Listener::~Listener() {
  if (fd_ >= 0) ::close(fd_);
}

Listener::Listener(Listener&& other) noexcept
    : fd_(other.fd_),
      port_(other.port_),
      address_(std::move(other.address_)),
      everyInterface_(other.everyInterface_),
      loopback_(other.loopback_) {
  other.fd_ = -1;
}

int Listener::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

}  // namespace velprobe::serve
