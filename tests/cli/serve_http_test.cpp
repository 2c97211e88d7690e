// serve's HTTP side over real sockets: hostile and careless requests, slow
// clients, a flood of large answers, and the address it listens on.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <fstream>
#include <optional>
#include <thread>

#include "child.h"
#include "http.h"
#include "monitor.h"
#include "process_stats.h"
#include "site.h"
#include "web_assets.h"

namespace {

using namespace std::chrono_literals;
using namespace velprobe::serve;
using Clock = std::chrono::steady_clock;

int connectFrom(const std::string& source, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &a.sin_addr);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // the whole of 127/8 is this machine
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect";
  return fd;
}

// Reads until the end of the connection or `quiet` without a byte; true when it ended.
bool readAll(int fd, std::string& out, std::chrono::milliseconds quiet) {
  char buffer[65536];
  for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, static_cast<int>(quiet.count())) > 0;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return false;
}

struct Reply {
  int status = 0;  // 0: no answer
  std::string all;
  bool closed = false;
  std::string header(const std::string& name) const {
    const auto at = all.find("\r\n" + name + ": ");
    return at == std::string::npos ? "" : all.substr(at + name.size() + 4, all.find("\r\n", at + 2) - at - name.size() - 4);
  }
  std::string body() const { return all.substr(std::min(all.size(), all.find("\r\n\r\n") + 4)); }
  // Nothing after the answer's own end: no second answer to a smuggled request.
  bool single(bool head) const {
    const std::string length = header("Content-Length");
    return all.find("\r\n\r\n") + 4 + (head || length.empty() ? 0 : std::stoul(length)) == all.size();
  }
};

Reply send(int port, const std::string& request, const std::string& from = "127.0.0.1",
           std::chrono::milliseconds quiet = 500ms) {
  Reply r;
  const int fd = connectFrom(from, port);
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  r.closed = readAll(fd, r.all, quiet);
  ::close(fd);
  if (r.all.rfind("HTTP/1.1 ", 0) == 0) r.status = std::stoi(r.all.substr(9, 3));
  return r;
}

Reply get(int port, const std::string& target, const std::string& headers = "") {
  return send(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "Connection: close\r\n\r\n");
}

class ServeHttp : public ::testing::Test {
 protected:
  void start(std::size_t keep, int readings, HttpLimits limits = {}) {
    monitor.emplace(std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}, keep);
    constexpr Millis kStart = 1796601600000;
    monitor->opened(0, {"", "<script>\x01", "", "", ""});
    for (int i = 0; i < readings; ++i)
      monitor->record(i % 2, {kStart + i * 500LL, 0, {3.6f, 3.9436622f, 5.5f, 1, 2, static_cast<float>(i % 100)}});
    site.emplace(*monitor, Site::Options{"/* chart */", 1, {"Probes.Example", "x.y"}});
    Listener listener(Endpoint{"127.0.0.1", 0});
    port = listener.port();
    server.emplace(std::move(listener), [this](const HttpRequest& r) { return site->handle(r); }, limits);
  }
  std::optional<Monitor> monitor;
  std::optional<Site> site;
  std::optional<HttpServer> server;
  int port = 0;
};

TEST_F(ServeHttp, HostileRequestsAreRefusedAndTheServerAnswersOn) {
  start(100, 20);
  const std::string host = "Host: 127.0.0.1\r\n";
  const std::string ranges = [] {
    std::string r = "Range: bytes=0-";
    for (int i = 0; i < 800; ++i) r += ",0-" + std::to_string(1000 + i);
    return r + "\r\n";
  }();
  std::string manyHeaders;
  for (int i = 0; i < 400; ++i) manyHeaders += "X-" + std::to_string(i) + ": " + std::string(100, '0') + "\r\n";
  const struct {
    const char* name;
    std::string request;
    int status;  // 0: dropped without an answer
    bool closed;
  } rows[] = {
      {"plain", "GET /metrics HTTP/1.1\r\n" + host + "\r\n", 200, false},
      {"body by length, a request in it", "GET /metrics HTTP/1.1\r\n" + host +
           "Content-Length: 39\r\n\r\nGET /api/probes HTTP/1.1\r\nHost: x\r\n\r\n", 400, true},
      {"chunked body", "GET /metrics HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       400, true},
      {"POST with a request as body", "POST /metrics HTTP/1.1\r\n" + host +
           "Content-Length: 39\r\n\r\nGET /api/probes HTTP/1.1\r\nHost: x\r\n\r\n", 400, true},
      {"100-continue", "GET / HTTP/1.1\r\n" + host + "Expect: 100-continue\r\nContent-Length: 5\r\n\r\n", 400, true},
      {"no Host", "GET /metrics HTTP/1.1\r\n\r\n", 400, true},
      {"two Hosts", "GET /metrics HTTP/1.1\r\n" + host + host + "\r\n", 400, true},
      {"header without colon", "GET /metrics HTTP/1.1\r\n" + host + "Bogus\r\n\r\n", 400, true},
      {"NUL in a header name", "GET /metrics HTTP/1.1\r\n" + host + std::string("X\0A: b\r\n\r\n", 10), 400, true},
      {"DNS rebinding", "GET /metrics HTTP/1.1\r\nHost: evil.example:9210\r\n\r\n", 400, true},
      {"rebinding, absolute form", "GET http://evil.example/metrics HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"allowed name", "GET /metrics HTTP/1.1\r\nHost: probes.example.:9210\r\n\r\n", 200, false},
      {"IPv6 literal", "GET /metrics HTTP/1.1\r\nHost: [::1]:9210\r\n\r\n", 200, false},
      {"unknown method", "FOO /metrics HTTP/1.1\r\n" + host + "\r\n", 405, true},
      {"lowercase method", "get /metrics HTTP/1.1\r\n" + host + "\r\n", 405, true},
      {"DELETE", "DELETE / HTTP/1.1\r\n" + host + "\r\n", 405, true},
      {"HEAD", "HEAD /metrics HTTP/1.1\r\n" + host + "\r\n", 200, false},
      {"absolute form", "GET http://localhost:9210/metrics HTTP/1.1\r\n" + host + "\r\n", 200, false},
      {"HTTP/1.0 without Host", "GET /metrics HTTP/1.0\r\n\r\n", 200, true},
      {"HTTP/2.0", "GET /metrics HTTP/2.0\r\n" + host + "\r\n", 505, true},
      {"garbage", "\x01\x02hello\r\n\r\n", 0, true},
      {"no version", "GET /\r\n\r\n", 400, true},
      {"overlong target", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n" + host + "\r\n", 414, true},
      {"overlong header", "GET / HTTP/1.1\r\n" + host + "X-Long: " + std::string(9000, 'a') + "\r\n\r\n", 431, true},
      {"many headers", "GET / HTTP/1.1\r\n" + host + manyHeaders + "\r\n", 431, true},
      {"path traversal", "GET /../../etc/passwd HTTP/1.1\r\n" + host + "\r\n", 404, true},
      {"unknown path", "GET /nowhere HTTP/1.1\r\n" + host + "\r\n", 404, true},
      {"bad since", "GET /api/readings?since=yesterday HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"NaN since", "GET /api/readings?since=nan HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"huge since", "GET /api/readings?since=1e308 HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"bad after", "GET /api/readings?after=-1 HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"after twice", "GET /api/readings?after=1&after=2 HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"bad escape", "GET /api/readings?after=%4 HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"unknown parameter", "GET /api/readings?limit=5 HTTP/1.1\r\n" + host + "\r\n", 400, true},
      {"good since, escaped", "GET /api/readings?since=2026-12-07T00%3A00%3A01Z HTTP/1.1\r\n" + host + "\r\n", 200,
       false},
      {"800 ranges", "GET /app.js HTTP/1.1\r\n" + host + ranges + "\r\n", 200, false},
  };
  for (const auto& row : rows) {
    const Reply r = send(port, row.request);
    EXPECT_EQ(r.status, row.status) << row.name << "\n" << r.all.substr(0, 300);
    EXPECT_EQ(r.closed, row.closed) << row.name;
    if (r.status) EXPECT_TRUE(r.single(row.request.rfind("HEAD", 0) == 0)) << row.name << ": more than one answer";
    if (row.status == 405) EXPECT_EQ(r.header("Allow"), "GET, HEAD") << row.name;
    EXPECT_EQ(get(port, "/metrics").status, 200) << "after " << row.name;
  }
  EXPECT_EQ(send(port, "GET /app.js HTTP/1.1\r\nHost: x.1\r\n" + ranges + "\r\n").status, 400);
  EXPECT_EQ(get(port, "/app.js", ranges).body(), velprobe::serve::web::kAppJs);  // the whole file, once
  // Compression: gzip of the fixed files made once; never another coding, never of the live answers.
  EXPECT_EQ(get(port, "/app.js", "Accept-Encoding: gzip;q=0.5, br\r\n").header("Content-Encoding"), "gzip");
  EXPECT_EQ(get(port, "/app.js", "Accept-Encoding: br, gzip;q=0\r\n").header("Content-Encoding"), "");
  EXPECT_EQ(get(port, "/api/readings", "Accept-Encoding: gzip, br\r\n").header("Content-Encoding"), "");
  EXPECT_EQ(get(port, "/metrics", "Accept-Encoding: gzip, br\r\n").header("Content-Encoding"), "");
  EXPECT_NE(get(port, "/metrics").body().find("serial=\"<script>\\\\x01\""), std::string::npos);
}

TEST_F(ServeHttp, SlowClientsAreDroppedByDeadlineWhileScrapesGoOn) {
  HttpLimits limits;
  limits.head = 3s;
  start(100, 20, limits);
  // 200 connections from 25 addresses trickle a byte every half second; 40
  // more from one address find its limit (16) and are closed at once.
  std::vector<int> slow, crowd;
  for (int i = 0; i < 200; ++i) slow.push_back(connectFrom("127.0.0." + std::to_string(2 + i % 25), port));
  for (int i = 0; i < 40; ++i) crowd.push_back(connectFrom("127.0.0.30", port));
  const auto start = Clock::now();
  std::size_t crowdClosed = 0;
  for (int fd : crowd) {
    std::string ignored;
    crowdClosed += readAll(fd, ignored, 20ms);
  }
  EXPECT_EQ(crowdClosed, 40u - limits.perAddress);
  auto worst = 0ms;
  std::size_t dropped = 0;
  while (Clock::now() - start < limits.head + 2s) {
    dropped = 0;
    for (int fd : slow) dropped += ::send(fd, "G", 1, MSG_NOSIGNAL | MSG_DONTWAIT) < 0;
    const auto before = Clock::now();
    EXPECT_EQ(get(port, "/metrics").status, 200);
    worst = std::max(worst, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before));
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_LT(worst, 1s);
  EXPECT_EQ(dropped, slow.size()) << "still trickling after the head deadline from accept";
  for (int fd : slow) ::close(fd);
  for (int fd : crowd) ::close(fd);
}

TEST_F(ServeHttp, MemoryReturnsAfterAFloodOfLargeAnswers) {
  start(43200, 86400);  // half a day of two probes, 1 s apart: 86 400 readings in the rings
  ASSERT_NE(get(port, "/api/readings").body().find("\"more\":true"), std::string::npos);
  const long before = kv210::test::residentKiB();
  std::vector<std::thread> clients;
  std::atomic<int> full{0};
  for (int c = 0; c < 16; ++c)
    clients.emplace_back([&, c] {
      for (int i = 0; i < 8; ++i)
        full += send(port, "GET /api/readings?after=" + std::to_string(i * 1000) + " HTTP/1.1\r\nHost: x.y\r\nConnection: close\r\n\r\n",
                     "127.0.0." + std::to_string(40 + c), 10s)
                    .all.size() > 1'000'000;
    });
  for (auto& t : clients) t.join();
  EXPECT_EQ(full, 16 * 8);
#ifndef KV210_ASAN
  EXPECT_LT(kv210::test::residentKiB() - before, 8 * 1024) << "KiB kept after the flood";
#endif
}

// ---- velprobe serve's start and stop ----------------------------------------

// On every interface: the address to open here, this machine's name for the
// others, and a word that the network reads it. Beside it, starts refused
// with the reason: its address in use among them. A probe that never answers,
// waited for under an hour-long --timeout, and a device that is no serial
// port, waited for to be opened again: SIGTERM ends serve at once.
TEST(ServeStart, RefusalsAddressesAndAStopInTheMiddleOfALongWait) {
  const int silent = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(silent >= 0 && ::grantpt(silent) == 0 && ::unlockpt(silent) == 0);
  velprobe_test::Child serve({VELPROBE_PATH, "serve", "--port", ::ptsname(silent), "--port", "/dev/null",
                              "--timeout", "3600000", "--listen", "0.0.0.0:0"});
  ASSERT_TRUE(serve.waitForLines(1, 20s));
  const std::string out = serve.output();
  ASSERT_EQ(out.rfind("http://127.0.0.1:", 0), 0u) << out;
  const std::string port = out.substr(17, out.size() - 19);
  for (const auto& [listen, more, message] : std::vector<std::array<std::string, 3>>{
           {"0.0.0.0:" + port, "", "0.0.0.0:" + port + " is in use"},
           {"nosuchhost.invalid:9", "", "cannot listen on nosuchhost.invalid:9: "},
           {"[]:9", "", "the brackets hold no address"},
           {"127.0.0.1:0", "auto", "auto finds one probe"}}) {
    std::vector<std::string> args = {"serve", "--port", "/nonexistent/tty", "--listen", listen};
    if (!more.empty()) args.insert(args.end(), {"--port", more});
    const auto r = velprobe_test::run(args);
    EXPECT_NE(r.status, 0) << listen;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Success"), std::string::npos) << r.err;
  }
  pollfd p{silent, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10'000), 1) << "no frame sent";
  std::this_thread::sleep_for(500ms);  // into the wait for the reply
  const auto stopped = Clock::now();
  serve.signal(SIGTERM);
  const auto r = serve.finish(5s);
  EXPECT_LT(Clock::now() - stopped, 3s);
  EXPECT_EQ(r.status, 0) << r.err;
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  const std::string here = "http://127.0.0.1:" + port + "/";
  EXPECT_NE(r.err.find("2 probes on http://" + std::string(name) + ":" + port + "/ and " + here), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("serving every network interface of this machine, without authentication"),
            std::string::npos) << r.err;
  ::close(silent);
}

}  // namespace
