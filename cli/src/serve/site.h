// What `velprobe serve` answers, whatever library carries the HTTP: the checks
// every request passes, the routes, and the parameters of /api/readings.
//
// Refused: a method other than GET and HEAD (405), a request with a body, a
// header with control bytes, an HTTP/1.1 request without exactly one Host,
// and a Host (or an absolute target's authority) that names neither an IP
// address, localhost nor an allowed name — a page on another site that a
// browser reaches through a DNS name pointed at this machine (DNS rebinding)
// is turned away. Every refusal closes the connection.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http.h"
#include "monitor.h"

namespace velprobe::serve {

class Site {
 public:
  struct Options {
    std::string chartScript;     // served as /chart.js; empty: the page shows values without charts
    double intervalSeconds = 1;  // for the page
    std::vector<std::string> hostNames;  // names a Host header may give besides IP addresses and localhost
  };
  Site(const Monitor& monitor, Options options);
  ~Site();

  HttpResponse handle(const HttpRequest& request) const;

 private:
  struct Asset;
  HttpResponse route(const HttpRequest& request, std::string_view path, std::string_view query) const;
  HttpResponse readings(std::string_view query) const;
  bool hostAllowed(std::string_view host) const;

  const Monitor& monitor_;
  Options options_;
  std::vector<std::unique_ptr<Asset>> assets_;
};

}  // namespace velprobe::serve
