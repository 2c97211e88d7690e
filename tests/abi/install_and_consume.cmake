# Installs the build into a scratch prefix, then builds and runs a consumer
# with find_package and another with pkg-config.
# -D BUILD_DIR=... -D WORK_DIR=... -D CONSUMER_DIR=... -D CC=...
set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Unspecified)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Development)
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/consumer -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer_c)
run(${WORK_DIR}/consumer/consumer_cxx)

# pkg-config, as a Makefile-based program would use it.
file(GLOB pcdir ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
execute_process(COMMAND pkg-config --cflags --libs VEL_KV21X OUTPUT_VARIABLE flags RESULT_VARIABLE rc
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know VEL_KV21X")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
file(GLOB libdir ${prefix}/lib*/libVEL_KV21X.so ${prefix}/lib/*/libVEL_KV21X.so)
get_filename_component(libdir "${libdir}" DIRECTORY)
run(${CC} -std=c99 -Wall -Werror ${CONSUMER_DIR}/consumer.c ${flags} -Wl,-rpath,${libdir}
    -o ${WORK_DIR}/consumer_pkgconfig)
run(${WORK_DIR}/consumer_pkgconfig)
