// The HTTP side of `velprobe serve` as the rest of serve sees it: where it
// listens, a request as it came, an answer, and a server that carries them
// under fixed limits. Which library speaks HTTP is http_server.cpp's business.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velprobe::serve {

struct Endpoint {
  std::string host = "127.0.0.1";
  int port = 9210;
};
// "127.0.0.1:9210", "[::1]:9210", "0.0.0.0:8080", "localhost:0" (0: any free
// port). Throws std::invalid_argument with the reason.
Endpoint parseEndpoint(const std::string& text);

// A bound, listening TCP socket.
class Listener {
 public:
  // Resolves and binds. The address is taken for this process alone: a second
  // server on it is refused rather than sharing its connections. Throws
  // std::runtime_error with the resolver's or the system's reason.
  explicit Listener(const Endpoint& endpoint);
  ~Listener();
  Listener(Listener&& other) noexcept;
  Listener& operator=(Listener&&) = delete;
  Listener(const Listener&) = delete;

  int release();  // hands the socket over
  int port() const { return port_; }
  const std::string& address() const { return address_; }  // numeric, as bound
  bool everyInterface() const { return everyInterface_; }  // 0.0.0.0 or ::
  bool loopback() const { return loopback_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::string address_;
  bool everyInterface_ = false, loopback_ = false;
};

struct HttpRequest {
  std::string_view method, target, version;  // as sent: "GET", "/metrics?x=1", "HTTP/1.1"
  std::vector<std::pair<std::string_view, std::string_view>> headers;  // as sent, in order, repeats kept
};

struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;  // Content-Type among them
  std::shared_ptr<const std::string> body;                   // shared: the fixed files are not copied
  bool close = false;                                        // close the connection after it
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpLimits {
  // From the connection's accept, or from the end of the previous answer on
  // it, to a whole request head; a client that trickles its head is dropped.
  std::chrono::seconds head{10};
  // From a request's head to the last byte of its answer (a client that reads
  // too slowly is dropped).
  std::chrono::seconds answer{60};
  unsigned connections = 512;  // open at once; more are closed at once
  unsigned perAddress = 16;    // open at once from one client address
  std::size_t headBytes = 8192;
  unsigned threads = 2;
};

// Serves a listener with a handler on threads of its own, until destroyed.
// Request heads are read by an event loop, not by a thread per connection.
class HttpServer {
 public:
  HttpServer(Listener listener, HttpHandler handler, HttpLimits limits = {});
  ~HttpServer();  // no new connection; the open ones are closed
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velprobe::serve
