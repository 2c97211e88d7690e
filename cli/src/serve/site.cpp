#include "site.h"

#include <arpa/inet.h>
#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <optional>

#include "web_assets.h"

namespace velprobe::serve {

struct Site::Asset {
  std::string path, type;
  std::shared_ptr<const std::string> plain, gzip;  // gzip: null when it would not be smaller
};

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

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

// %XX and '+' of a query component; nullopt for a malformed escape.
std::optional<std::string> decodeQuery(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%') {
      unsigned value = 0;
      if (i + 2 >= text.size() ||
          std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16).ptr != text.data() + i + 3)
        return std::nullopt;
      out += static_cast<char>(value);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::shared_ptr<const std::string> gzipOnce(std::string_view data) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) return nullptr;
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
  out.resize(z.total_out);
  deflateEnd(&z);
  if (!done || out.size() >= data.size()) return nullptr;
  return std::make_shared<const std::string>(std::move(out));
}

// Whether Accept-Encoding allows gzip (a q of 0 refuses it).
bool acceptsGzip(const HttpRequest& request) {
  std::optional<bool> gzip, any;
  for (const auto& [name, value] : request.headers) {
    if (!equalsIgnoringCase(name, "Accept-Encoding")) continue;
    std::string_view rest = value;
    while (!rest.empty()) {
      const std::size_t comma = rest.find(',');
      std::string_view item = rest.substr(0, comma);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
      const std::size_t semicolon = item.find(';');
      const std::string_view coding = trim(item.substr(0, semicolon));
      bool wanted = true;
      if (semicolon != std::string_view::npos) {
        const std::string_view q = trim(item.substr(semicolon + 1));
        if (q.size() >= 2 && (q[0] == 'q' || q[0] == 'Q') && q[1] == '=')
          wanted = q.substr(2).find_first_not_of("0.") != std::string_view::npos;
      }
      if (equalsIgnoringCase(coding, "gzip") || equalsIgnoringCase(coding, "x-gzip")) gzip = wanted;
      if (coding == "*") any = wanted;
    }
  }
  return gzip.value_or(any.value_or(false));
}

HttpResponse text(int status, std::string body, std::string type = "text/plain; charset=utf-8") {
  HttpResponse r;
  r.status = status;
  r.headers = {{"Content-Type", std::move(type)},
               {"X-Content-Type-Options", "nosniff"},
               {"Content-Security-Policy", "default-src 'self'"},
               {"Referrer-Policy", "no-referrer"}};
  r.body = std::make_shared<const std::string>(std::move(body));
  // A refused request may not end where it seems to: nothing more is read
  // from its connection.
  r.close = status >= 400;
  return r;
}

HttpResponse dynamic(std::string body, std::string type) {
  HttpResponse r = text(200, std::move(body), std::move(type));
  r.headers.emplace_back("Cache-Control", "no-store");
  return r;
}

}  // namespace

Site::Site(const Monitor& monitor, Options options) : monitor_(monitor), options_(std::move(options)) {
  auto add = [&](std::string path, std::string_view body, std::string type) {
    auto asset = std::make_unique<Asset>();
    asset->path = std::move(path);
    asset->type = std::move(type);
    asset->plain = std::make_shared<const std::string>(body);
    asset->gzip = gzipOnce(body);
    assets_.push_back(std::move(asset));
  };
  add("/", web::kIndexHtml, "text/html; charset=utf-8");
  add("/app.js", web::kAppJs, "text/javascript; charset=utf-8");
  add("/style.css", web::kStyleCss, "text/css; charset=utf-8");
  if (!options_.chartScript.empty()) add("/chart.js", options_.chartScript, "text/javascript; charset=utf-8");
  options_.chartScript.clear();
  for (auto& name : options_.hostNames)
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
}

Site::~Site() = default;

bool Site::hostAllowed(std::string_view host) const {
  std::string_view name = host, port;
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    name = host.substr(1, close - 1);
    port = host.substr(close + 1);
    if (!port.empty() && port.front() != ':') return false;
    in6_addr address{};
    if (::inet_pton(AF_INET6, std::string(name).c_str(), &address) != 1) return false;
  } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
    name = host.substr(0, colon);
    port = host.substr(colon);
  }
  if (!port.empty() && (port.size() > 6 || !wholeNumber(port.substr(1)))) return false;
  if (name.empty()) return false;
  if (host.front() == '[') return true;
  in_addr address{};
  if (::inet_pton(AF_INET, std::string(name).c_str(), &address) == 1) return true;
  if (name.back() == '.') name.remove_suffix(1);  // the root's dot
  if (equalsIgnoringCase(name, "localhost")) return true;
  return std::any_of(options_.hostNames.begin(), options_.hostNames.end(),
                     [&](const std::string& allowed) { return equalsIgnoringCase(name, allowed); });
}

HttpResponse Site::handle(const HttpRequest& request) const {
  // A body is refused before anything else: left unread, it would be taken
  // for the next request.
  std::size_t hosts = 0;
  std::string_view host;
  for (const auto& [name, value] : request.headers) {
    if (equalsIgnoringCase(name, "Transfer-Encoding") ||
        (equalsIgnoringCase(name, "Content-Length") && trim(value) != "0"))
      return text(400, "Bad request: this server takes no request body.\n");
    const bool controlByte = std::any_of(value.begin(), value.end(), [](char c) {
      return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F;
    });
    if (name.empty() || controlByte || name.find_first_of(std::string_view(" \t:\0", 4)) != std::string_view::npos)
      return text(400, "Bad request: a malformed header.\n");
    if (equalsIgnoringCase(name, "Host")) ++hosts, host = trim(value);
  }
  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse r = text(405, "Method not allowed: this server only shows readings (GET and HEAD).\n");
    r.headers.emplace_back("Allow", "GET, HEAD");
    return r;
  }
  if (hosts > 1 || (hosts == 0 && request.version != "HTTP/1.0"))
    return text(400, "Bad request: exactly one Host header is needed.\n");
  if (hosts == 1 && !hostAllowed(host))
    return text(400,
                "Bad request: this server does not answer to the host name given; start it with "
                "--allow-host NAME to let it.\n");

  // The target: a path with an optional query, or the absolute form that
  // proxies send (http://host:port/path?query).
  std::string_view target = request.target;
  if (target.size() >= 7 && equalsIgnoringCase(target.substr(0, 7), "http://")) {
    target.remove_prefix(7);
    const std::size_t end = std::min(target.find('/'), target.find('?'));
    if (!hostAllowed(target.substr(0, end)))
      return text(400, "Bad request: this server does not answer to the host name given.\n");
    target = end == std::string_view::npos ? std::string_view("/") : target.substr(end);
    if (target.front() == '?') return text(400, "Bad request: a malformed target.\n");
  }
  if (target.empty() || target.front() != '/' ||
      std::any_of(target.begin(), target.end(), [](char c) { return c <= 0x20 || c >= 0x7F; }))
    return text(400, "Bad request: a malformed target.\n");
  const std::size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  const std::string_view query = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  return route(request, path, query);
}

HttpResponse Site::route(const HttpRequest& request, std::string_view path, std::string_view query) const {
  if (path == "/metrics") return dynamic(monitor_.metrics(), "text/plain; version=0.0.4; charset=utf-8");
  if (path == "/api/readings") return readings(query);
  if (path == "/api/probes") {
    std::string body = monitor_.probesJson(nowMillis());
    char seconds[32];
    const auto end = std::to_chars(seconds, seconds + sizeof seconds, options_.intervalSeconds).ptr;
    body.insert(body.size() - 1, ",\"interval\":" + std::string(seconds, end));
    return dynamic(std::move(body), "application/json");
  }
  for (const auto& asset : assets_) {
    if (asset->path != path) continue;
    // Compressed once at start; a Range header is not honoured (always the whole file).
    HttpResponse r = text(200, {}, asset->type);
    const bool gzip = asset->gzip && acceptsGzip(request);
    r.body = gzip ? asset->gzip : asset->plain;
    if (gzip) r.headers.emplace_back("Content-Encoding", "gzip");
    r.headers.emplace_back("Vary", "Accept-Encoding");
    return r;
  }
  if (path == "/chart.js")
    return text(404, "The charting library (Debian package libjs-chart.js) is not installed.\n");
  return text(404, "Not found: " + std::string(path) + "\n");
}

HttpResponse Site::readings(std::string_view query) const {
  std::optional<uint64_t> after;
  std::optional<Millis> since;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    const auto name = decodeQuery(item.substr(0, equals));
    const auto value = decodeQuery(equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1));
    if (name == "after" && value && !after && (after = wholeNumber(*value))) continue;
    if (name == "since" && value && !since && (since = sinceParameter(*value))) continue;
    if (name == "after" || name == "since")
      return text(400, "Bad value of '" + *name +
                           "' (or given twice): after takes the \"next\" of an earlier answer, since an ISO 8601 "
                           "UTC time (2026-12-07T00:28:13.857Z) or seconds since the epoch.\n");
    return text(400, "Unknown parameter: /api/readings takes since and after.\n");
  }
  return dynamic(monitor_.readingsJson(after.value_or(0), since.value_or(0)), "application/json");
}

}  // namespace velprobe::serve
