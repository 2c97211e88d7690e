// velprobe serve's request handling (Site::handle) with any request the HTTP
// library could hand it: the method, the target, the version and headers of
// any bytes. Input: lines split at '\n': the method, the target, the version,
// then one header a line, its name up to the first ':'.
//
// Checks: only the statuses serve gives; every refusal closes the connection;
// a 405 names what is allowed; a request with a body, without exactly one
// Host on HTTP/1.1, or with a foreign host name is never answered 200; every
// JSON answer parses, with at most one page of readings and its cursor.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>

#include "monitor.h"
#include "site.h"

using namespace velprobe::serve;

namespace {

constexpr float kNone = std::numeric_limits<float>::quiet_NaN();

const Site& site() {
  static const Monitor& monitor = *[] {
    auto* monitor = new Monitor({"/dev/ttyUSB0", "/dev/tty\"1", "/dev/ttyUSB2"}, 40);
    Monitor& m = *monitor;
    constexpr Millis kStart = 1796601600000;
    m.opened(1, {"", "<s>\"\\\x01\xff", "", "", ""});
    for (int i = 0; i < 100; ++i) {
      Sample sample{kStart + i * 1000, 0, {3.6f, kNone, 5.5f, kNone, kNone, static_cast<float>(i)}};
      if (i % 7 == 6) {
        std::fill(std::begin(sample.values), std::end(sample.values), kNone);
        sample.code = 8;
        sample.call = Monitor::callNumber("VEL_ReadBattery");
      } else if (i % 5 == 0) {
        sample.values[2] = kNone;
        sample.overRange = 1u << 2;  // the total field above the limit
      }
      m.record(static_cast<std::size_t>(i % 3), sample, i % 7 == 6 ? "no reply" : "");
    }
    return monitor;
  }();
  static const Site site(monitor, {"chart", 1, {"probes.example"}});
  return site;
}

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "serve_fuzz: %s\n", what);
    std::abort();
  }
}

bool same(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> lines;
  for (std::size_t at = 0; at <= input.size();) {
    const std::size_t end = std::min(input.find('\n', at), input.size());
    lines.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  lines.resize(std::max<std::size_t>(lines.size(), 3));
  HttpRequest request{lines[0], lines[1], lines[2], {}};
  bool body = false;
  std::size_t hosts = 0;
  bool foreignHost = false;
  for (std::size_t i = 3; i < lines.size(); ++i) {
    const std::size_t colon = lines[i].find(':');
    const std::string_view name = lines[i].substr(0, colon);
    const std::string_view value = colon == std::string_view::npos ? std::string_view() : lines[i].substr(colon + 1);
    request.headers.emplace_back(name, value);
    // Values as serve reads them, without their surrounding blanks.
    std::string_view trimmed = value;
    while (!trimmed.empty() && (trimmed.front() == ' ' || trimmed.front() == '\t')) trimmed.remove_prefix(1);
    while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\t')) trimmed.remove_suffix(1);
    body |= same(name, "Transfer-Encoding") || (same(name, "Content-Length") && trimmed != "0");
    if (same(name, "Host")) {
      ++hosts;
      const std::string_view host = trimmed;
      const std::string_view hostName = host.substr(0, host.find(':'));
      // A name that is no IP address, not localhost and not allowed.
      foreignHost |= host.find_first_of("ghijkmnqrsuvwxyzGHIJKMNQRSUVWXYZ") != std::string_view::npos &&
                     !same(hostName, "localhost") && !same(hostName, "localhost.") &&
                     !same(hostName, "probes.example") && !same(hostName, "probes.example.") && host.find('[') != 0;
    }
  }

  const HttpResponse r = site().handle(request);
  check(r.status == 200 || r.status == 400 || r.status == 404 || r.status == 405, "unexpected status");
  check(r.status < 400 || r.close, "a refusal that keeps the connection");
  if (r.status == 200) {
    check(!body, "a request with a body answered");
    check(hosts == 1 || (hosts == 0 && request.version == "HTTP/1.0"), "answered without exactly one Host");
    check(!foreignHost, "answered for a foreign host name");
    check(r.body != nullptr, "200 without a body");
  }
  bool allow = false, json = false;
  for (const auto& [name, value] : r.headers) {
    allow |= name == "Allow" && value == "GET, HEAD";
    json |= name == "Content-Type" && value == "application/json";
  }
  check(r.status != 405 || allow, "405 without Allow");
  if (json) {
    const auto parsed = nlohmann::json::parse(*r.body, nullptr, false);
    check(!parsed.is_discarded(), "malformed JSON");
    if (parsed.contains("readings")) {
      check(parsed["readings"].size() <= Monitor::kReadingsPerAnswer, "more than a page");
      check(parsed["next"].is_number_unsigned() && parsed["more"].is_boolean(), "no cursor");
    }
  }
  return 0;
}
