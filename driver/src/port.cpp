#include "port.h"

namespace vel::port {
namespace {
Backend* installed = nullptr;
}

Backend& active() noexcept { return installed ? *installed : systemBackend(); }

void install(Backend* backend) noexcept { installed = backend; }

}  // namespace vel::port
