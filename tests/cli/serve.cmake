# velprobe serve: end to end against paced simulated probes, with the real
# Prometheus and headless Chromium, and its ring under a week of readings.
find_program(JQ jq)
find_program(CURL curl)
find_program(PROMETHEUS prometheus)
find_program(CHROMIUM chromium)
set(serve_env VELPROBE=$<TARGET_FILE:velprobe> KV210_SIM=$<TARGET_FILE:kv210-sim> SOURCE_DIR=${PROJECT_SOURCE_DIR}
    SANITIZED=$<BOOL:${SANITIZE}>)
foreach(mode prometheus browser requests)
  if((mode STREQUAL "prometheus" AND NOT PROMETHEUS) OR (mode STREQUAL "browser" AND NOT CHROMIUM) OR NOT JQ OR NOT CURL)
    message(STATUS "velprobe serve ${mode} test needs jq, curl, prometheus and chromium: skipped")
    continue()
  endif()
  add_test(NAME serve_${mode}
           COMMAND ${CMAKE_COMMAND} -E env ${serve_env} ${CMAKE_CURRENT_SOURCE_DIR}/serve_test.sh ${mode}
                   ${CMAKE_CURRENT_BINARY_DIR}/serve)
  set_tests_properties(serve_${mode} PROPERTIES LABELS "cli;serve" TIMEOUT 240)
endforeach()


add_executable(serve_view_test serve_view_test.cpp)
target_link_libraries(serve_view_test PRIVATE velprobe_serve_site GTest::gtest_main)
gtest_discover_tests(serve_view_test PROPERTIES LABELS serve TIMEOUT 60)

add_executable(serve_http_test serve_http_test.cpp child.cpp)
target_include_directories(serve_http_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
target_link_libraries(serve_http_test PRIVATE velprobe_serve_site velprobe_serve_http GTest::gtest_main)
target_compile_definitions(serve_http_test PRIVATE VELPROBE_PATH="$<TARGET_FILE:velprobe>")
add_dependencies(serve_http_test velprobe)
gtest_discover_tests(serve_http_test PROPERTIES LABELS serve TIMEOUT 120)

# The systemd unit as systemd reads it, its instance running the built program.
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(SYSTEMD_ANALYZE)
  add_test(NAME serve_systemd_unit COMMAND sh -ec
    "d=$(mktemp -d); trap 'rm -rf $d' EXIT
     sed 's|/usr/bin/velprobe|$<TARGET_FILE:velprobe>|' '${PROJECT_SOURCE_DIR}/cli/velprobe-serve@.service' >\"$d/velprobe-serve@dev-ttyUSB0.service\"
     ${SYSTEMD_ANALYZE} verify --man=no \"$d/velprobe-serve@dev-ttyUSB0.service\" 2>&1 | tee \"$d/log\"
     ! test -s \"$d/log\"")
  set_tests_properties(serve_systemd_unit PROPERTIES LABELS "cli;serve")
endif()

add_executable(serve_reader_test serve_reader_test.cpp ${PROJECT_SOURCE_DIR}/cli/src/serve/probe_reader.cpp)
target_link_libraries(serve_reader_test PRIVATE velprobe_serve_site kv210::sim GTest::gmock GTest::gtest_main)
gtest_discover_tests(serve_reader_test PROPERTIES LABELS serve TIMEOUT 120)
