// `velprobe serve`: probes watched from a browser and from Prometheus.
#pragma once

namespace velprobe::serve {

extern const char* const kServeHelp;

// The whole command; argv[0] is "serve". Returns the exit status.
int run(int argc, char** argv);

}  // namespace velprobe::serve
