// The page of `velprobe serve`, compiled in from cli/web at build time.
#pragma once

#include <string_view>

namespace velprobe::serve::web {

extern const std::string_view kIndexHtml;
extern const std::string_view kAppJs;
extern const std::string_view kStyleCss;

}  // namespace velprobe::serve::web
