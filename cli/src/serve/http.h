// The HTTP side of `velprobe serve`, on cpp-httplib: the page, the metrics and
// the API, all read-only. Connections are bounded: a fixed set of worker
// threads and a short queue (beyond it: 503 and close), a deadline and a size
// limit for every request head, and no request body.
#pragma once

#include <memory>
#include <string>

#include "monitor.h"

namespace velprobe::serve {

struct Endpoint {
  std::string host = "127.0.0.1";
  int port = 9210;
};
// "127.0.0.1:9210", "[::1]:9210", "0.0.0.0:8080", "localhost:0" (0: any free
// port). Throws std::invalid_argument with the reason.
Endpoint parseEndpoint(const std::string& text);

class HttpServer {
 public:
  // `chartScript`: the charting library's script, served as /chart.js (empty:
  // the page shows its values without charts). `interval` goes to the page.
  HttpServer(Monitor& monitor, std::string chartScript, double intervalSeconds);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds; returns the port bound. Throws std::runtime_error when it cannot.
  int bind(const Endpoint& endpoint);
  // Serves on a thread of its own until stop().
  void start();
  void stop();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velprobe::serve
