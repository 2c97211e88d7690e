# Compiles the page's files into the program: writes OUTPUT, a C++ source that
# defines each file of INPUTS as a std::string_view named by NAMES.
#   cmake -DOUTPUT=web_assets.cpp -DINPUTS="a.html;b.js" -DNAMES="kA;kB" -P embed.cmake
set(text "// Made from cli/web by embed.cmake at build time.\n#include \"web_assets.h\"\n\nnamespace velprobe::serve::web {\n")
foreach(input name IN ZIP_LISTS INPUTS NAMES)
  file(READ "${input}" content)
  if(content MATCHES "\\)kv210web\"")
    message(FATAL_ERROR "${input} holds the raw string's delimiter")
  endif()
  string(APPEND text "extern const std::string_view ${name} = R\"kv210web(${content})kv210web\";\n")
endforeach()
string(APPEND text "}  // namespace velprobe::serve::web\n")
file(WRITE "${OUTPUT}.tmp" "${text}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
