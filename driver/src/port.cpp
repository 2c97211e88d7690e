#include "port.h"

namespace vel::port {
namespace {
std::atomic<Backend*> installed{nullptr};
}

Backend& active() noexcept {
  Backend* backend = installed.load();
  return backend ? *backend : systemBackend();
}

void install(Backend* backend) noexcept { installed = backend; }

}  // namespace vel::port
