#include "http.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "web_assets.h"

namespace velprobe::serve {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kWorkers = 16;
constexpr std::size_t kQueued = 64;       // connections waiting for a worker; more get 503
constexpr auto kHeadDeadline = 10s;       // to send a whole request head (slow clients are dropped)
constexpr std::size_t kMaxRequest = 32 * 1024;  // bytes of one request, head and body
constexpr auto kWriteTimeout = 10s;       // without progress while sending
constexpr std::size_t kKeepAliveRequests = 20;
constexpr auto kKeepAliveIdle = 5s;

// Set while the accepting thread turns a connection away.
thread_local bool turnAway = false;

// Workers for connections, with a bounded queue: a connection that finds it
// full is answered 503 on the accepting thread at once.
class BoundedPool final : public httplib::TaskQueue {
 public:
  BoundedPool() {
    for (std::size_t i = 0; i < kWorkers; ++i) threads_.emplace_back([this] { work(); });
  }
  void enqueue(std::function<void()> job) override {
    {
      std::lock_guard lock(mutex_);
      if (jobs_.size() < kQueued) {
        jobs_.push_back(std::move(job));
        ready_.notify_one();
        return;
      }
    }
    turnAway = true;
    job();
    turnAway = false;
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    ready_.notify_all();
    for (auto& t : threads_) t.join();
  }

 private:
  void work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return done_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool done_ = false;
};

bool waitFor(int fd, short events, Clock::time_point until) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 60000)));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// One connection, buffered (the request parser reads a byte at a time), with
// a deadline and a size limit for every request.
class Connection final : public httplib::Stream {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  bool waitForRequest(std::chrono::seconds idle) const {
    return begin_ < end_ || waitFor(fd_, POLLIN, Clock::now() + idle);
  }
  void beginRequest() {
    deadline_ = Clock::now() + kHeadDeadline;
    budget_ = kMaxRequest;
  }
  bool is_readable() const override { return begin_ < end_ || waitFor(fd_, POLLIN, deadline_); }
  bool is_writable() const override { return waitFor(fd_, POLLOUT, Clock::now() + kWriteTimeout); }
  ssize_t read(char* data, size_t size) override {
    if (budget_ == 0) return -1;  // an overlong request: dropped
    if (begin_ == end_) {
      if (!waitFor(fd_, POLLIN, deadline_)) return -1;
      ssize_t n;
      while ((n = ::recv(fd_, buffer_, sizeof buffer_, 0)) < 0 && errno == EINTR) {
      }
      if (n <= 0) return n;
      begin_ = 0;
      end_ = static_cast<std::size_t>(n);
    }
    const std::size_t n = std::min({size, end_ - begin_, budget_});
    std::copy_n(buffer_ + begin_, n, data);
    begin_ += n;
    budget_ -= n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* data, size_t size) override {
    if (!is_writable()) return -1;
    return ::send(fd_, data, size, MSG_NOSIGNAL);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { address(::getpeername, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { address(::getsockname, ip, port); }
  socket_t socket() const override { return fd_; }

 private:
  template <class F>
  void address(F get, std::string& ip, int& port) const {
    sockaddr_storage addr{};
    socklen_t length = sizeof addr;
    if (get(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) return;
    char text[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
      ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
      port = ntohs(in->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      const auto* in = reinterpret_cast<const sockaddr_in6*>(&addr);
      ::inet_ntop(AF_INET6, &in->sin6_addr, text, sizeof text);
      port = ntohs(in->sin6_port);
    }
    ip = text;
  }

  int fd_;
  char buffer_[4096];
  std::size_t begin_ = 0, end_ = 0;
  Clock::time_point deadline_ = Clock::now() + kHeadDeadline;
  std::size_t budget_ = kMaxRequest;
};

// cpp-httplib's server with the connection handling above.
class BoundedServer final : public httplib::Server {
 public:
  BoundedServer() {
    new_task_queue = [] { return new BoundedPool; };
  }
  // Ends the connections that wait for a next request; run after stop().
  void closeConnections() {
    stopping_ = true;
    std::lock_guard lock(mutex_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    if (turnAway || stopping_) {
      static constexpr char kBusy[] =
          "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 22\r\n"
          "Retry-After: 1\r\nConnection: close\r\n\r\nToo many connections.\n";
      ::send(sock, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(sock);
      return false;
    }
    {
      std::lock_guard lock(mutex_);
      open_.insert(sock);
    }
    // The head and the body of a response go out in two writes: without this
    // the body would wait for the client's delayed acknowledgement (40 ms).
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection connection(sock);
    bool ok = false;
    for (std::size_t left = kKeepAliveRequests; left > 0 && !stopping_; --left) {
      if (!connection.waitForRequest(kKeepAliveIdle)) break;
      connection.beginRequest();
      bool closed = false;
      ok = process_request(connection, left == 1, closed, nullptr);
      if (!ok || closed) break;
    }
    std::lock_guard lock(mutex_);
    open_.erase(sock);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
  }

  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::set<int> open_;
};

std::optional<uint64_t> wholeNumber(std::string_view text) {
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

// `since`: an ISO 8601 UTC time as the readings carry it, or seconds since
// the epoch (with up to 3 decimals).
std::optional<Millis> sinceParameter(std::string_view text) {
  if (auto iso = parseIsoTime(text)) return iso;
  const std::size_t point = text.find('.');
  const auto whole = wholeNumber(text.substr(0, point));
  std::string fraction = point == std::string_view::npos ? "" : std::string(text.substr(point + 1));
  if (!whole || *whole > 100'000'000'000ULL || fraction.size() > 3 ||
      (point != std::string_view::npos && !wholeNumber(fraction)))
    return std::nullopt;
  fraction.resize(3, '0');
  return static_cast<Millis>(*whole) * 1000 + static_cast<Millis>(*wholeNumber(fraction));
}

void plain(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
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
    port = text.substr(close + 2);
  } else if (const auto colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) throw std::invalid_argument("write an IPv6 address as [ADDRESS]:PORT");
    if (colon > 0) endpoint.host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  const auto number = wholeNumber(port);
  if (!number || *number > 65535) throw std::invalid_argument("the port must be a number from 0 to 65535");
  endpoint.port = static_cast<int>(*number);
  return endpoint;
}

class HttpServer::Impl {
 public:
  Impl(Monitor& monitor, std::string chartScript, double interval)
      : monitor_(monitor), chart_(std::move(chartScript)), interval_(interval) {
    server_.set_payload_max_length(4096);
    server_.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                 {"Content-Security-Policy", "default-src 'self'"},
                                 {"Referrer-Policy", "no-referrer"}});
    // Nothing here changes anything: every other method is refused before its
    // body is read.
    server_.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
      if (req.method == "GET" || req.method == "HEAD") return httplib::Server::HandlerResponse::Unhandled;
      res.set_header("Allow", "GET, HEAD");
      plain(res, 405, "Method not allowed: this server only shows readings.\n");
      return httplib::Server::HandlerResponse::Handled;
    });
    server_.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      if (res.status == 404) plain(res, 404, "Not found: " + req.path + "\n");
    });
    auto asset = [this](const char* path, std::string_view body, const char* type) {
      server_.Get(path, [body, type](const httplib::Request&, httplib::Response& res) {
        res.set_content(body.data(), body.size(), type);
      });
    };
    asset("/", web::kIndexHtml, "text/html; charset=utf-8");
    asset("/app.js", web::kAppJs, "text/javascript; charset=utf-8");
    asset("/style.css", web::kStyleCss, "text/css; charset=utf-8");
    server_.Get("/chart.js", [this](const httplib::Request&, httplib::Response& res) {
      if (chart_.empty())
        return plain(res, 404, "The charting library (Debian package libjs-chart.js) is not installed.\n");
      res.set_content(chart_, "text/javascript; charset=utf-8");
    });
    server_.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_content(monitor_.metrics(), "text/plain; version=0.0.4; charset=utf-8");
    });
    server_.Get("/api/probes", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      std::string body = monitor_.probesJson(nowMillis());
      char seconds[32];
      const auto end = std::to_chars(seconds, seconds + sizeof seconds, interval_).ptr;
      body.insert(body.size() - 1, ",\"interval\":" + std::string(seconds, end));
      res.set_content(body, "application/json");
    });
    server_.Get("/api/readings", [this](const httplib::Request& req, httplib::Response& res) {
      uint64_t after = 0;
      Millis since = 0;
      for (const auto& [name, value] : req.params) {
        if (name == "after" && wholeNumber(value)) {
          after = *wholeNumber(value);
        } else if (name == "since" && sinceParameter(value)) {
          since = *sinceParameter(value);
        } else {
          return plain(res, 400,
                       name == "after" || name == "since"
                           ? "Bad value of '" + name +
                                 "': after takes a reading number, since an ISO 8601 UTC time "
                                 "(2026-12-07T00:28:13.857Z) or seconds since the epoch.\n"
                           : "Unknown parameter '" + name + "': /api/readings takes since and after.\n");
        }
      }
      res.set_header("Cache-Control", "no-store");
      res.set_content(monitor_.readingsJson(after, since), "application/json");
    });
  }

  Monitor& monitor_;
  std::string chart_;
  double interval_;
  BoundedServer server_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

HttpServer::HttpServer(Monitor& monitor, std::string chartScript, double intervalSeconds)
    : impl_(std::make_unique<Impl>(monitor, std::move(chartScript), intervalSeconds)) {}

HttpServer::~HttpServer() { stop(); }

int HttpServer::bind(const Endpoint& endpoint) {
  auto& server = impl_->server_;
  const int port = endpoint.port == 0 ? server.bind_to_any_port(endpoint.host)
                                      : (server.bind_to_port(endpoint.host, endpoint.port) ? endpoint.port : -1);
  if (port < 0)
    throw std::runtime_error("cannot listen on " + endpoint.host + ":" + std::to_string(endpoint.port) + ": " +
                             std::strerror(errno));
  return port;
}

void HttpServer::start() {
  impl_->thread_ = std::thread([this] {
    impl_->server_.listen_after_bind();
    impl_->finished_ = true;
  });
}

void HttpServer::stop() {
  if (!impl_->thread_.joinable()) return;
  // The server ignores a stop that comes before it runs.
  while (!impl_->finished_ && !impl_->server_.is_running()) std::this_thread::sleep_for(1ms);
  impl_->server_.stop();
  impl_->server_.closeConnections();
  impl_->thread_.join();
}

}  // namespace velprobe::serve
