# Debian packages, built by CPack (scripts/package): one install component per
# package. Every install rule names its component, but the library's own: it is
# in CMake's default component, as `cmake --install --component` users know it.
# The table below turns the components into packages. The version is the project's.
#
#   component    package            contents
#   Unspecified  libvel-kv21x1      the shared library (the name follows its soname)
#   Development  libvel-kv21x-dev   header, CMake package, pkg-config file, man pages, example
#   velprobe     velprobe           the client, its man page, bash completion, systemd unit
#   probeaddr    probeaddr          ProbeAddr, its man page, menu entry and icon
#   simulator    kv210-sim          the simulator and its man page
#   python       python3-kv210      the kv210 Python package and its pytest plugin
include_guard(GLOBAL)

# libVEL_KV21X.so.1 -> libvel-kv21x1: lower case, "_" is not allowed in a package name.
string(TOLOWER "libVEL_KV21X" kv210_library_stem)
string(REPLACE "_" "-" kv210_library_stem "${kv210_library_stem}")
set(KV210_PACKAGE_Unspecified "${kv210_library_stem}${PROJECT_VERSION_MAJOR}")
set(KV210_PACKAGE_Development "${kv210_library_stem}-dev")
set(KV210_PACKAGE_velprobe velprobe)
set(KV210_PACKAGE_probeaddr probeaddr)
set(KV210_PACKAGE_simulator kv210-sim)
set(KV210_PACKAGE_python python3-kv210)
set(KV210_COMPONENTS Unspecified Development velprobe probeaddr simulator python)

set(KV210_PACKAGE_MAINTAINER "KV210 probe software <kv210-software@vel-probes.example>"
    CACHE STRING "Maintainer field of the Debian packages")

# share/doc/<package>: where a package's own documents and examples go.
function(kv210_package_docdir component out_var)
  set(${out_var} ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KV210_PACKAGE_${component}} PARENT_SCOPE)
endfunction()

# Called once every install rule is known (at the end of the top-level CMakeLists).
macro(kv210_debian_packages)
  set(kv210_packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
  set(kv210_packaging_build ${PROJECT_BINARY_DIR}/packaging)

  # An install rule whose component has no package would silently be left out
  # of all of them. (One without a component lands in the library's package,
  # where tests/packaging/check-packages finds it.)
  get_cmake_property(kv210_used_components COMPONENTS)
  foreach(component IN LISTS kv210_used_components)
    if(NOT component IN_LIST KV210_COMPONENTS)
      message(FATAL_ERROR "Install component '${component}' belongs to no Debian package: "
                          "give the install rule one of ${KV210_COMPONENTS}")
    endif()
  endforeach()

  # Every package carries the documents Debian asks for; they are not part of
  # a plain `cmake --install`.
  string(TIMESTAMP KV210_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH, if set
  configure_file(${kv210_packaging_dir}/changelog.in ${kv210_packaging_build}/changelog @ONLY)
  add_custom_command(OUTPUT ${kv210_packaging_build}/changelog.gz
    COMMAND gzip -9nkf ${kv210_packaging_build}/changelog
    DEPENDS ${kv210_packaging_build}/changelog VERBATIM)
  add_custom_target(kv210_changelog ALL DEPENDS ${kv210_packaging_build}/changelog.gz)
  set(kv210_uses_ports Unspecified velprobe probeaddr python)  # they open serial ports: dialout
  foreach(component IN LISTS kv210_used_components)
    kv210_package_docdir(${component} docdir)
    set(docs ${kv210_packaging_dir}/copyright ${kv210_packaging_build}/changelog.gz)
    if(component IN_LIST kv210_uses_ports)
      list(APPEND docs ${kv210_packaging_dir}/README.Debian)
    endif()
    install(FILES ${docs} DESTINATION ${docdir} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGE_NAME kv210)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_CONTACT "${KV210_PACKAGE_MAINTAINER}")
  # Each package's description starts with its own summary; CPack would put
  # the project's in front of every one.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_STRIP_FILES ON)
  set(CPACK_COMPONENTS_ALL ${kv210_used_components})
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SOURCE kv210)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)  # scripts 0755, the rest 0644

  # Dependencies on shared libraries come from dpkg-shlibdeps. To find the
  # package of libVEL_KV21X.so.1, which is not installed yet, it looks at the
  # library's build folder, marked as that package's tree by a DEBIAN/shlibs
  # that says what the library package's own shlibs file says.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  file(GENERATE OUTPUT $<TARGET_FILE_DIR:VEL_KV21X>/DEBIAN/shlibs
    CONTENT "libVEL_KV21X ${PROJECT_VERSION_MAJOR} ${KV210_PACKAGE_Unspecified} (>= ${PROJECT_VERSION})\n")
  file(GENERATE OUTPUT ${kv210_packaging_build}/CPackProjectConfig.cmake
    CONTENT "set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS \"$<TARGET_FILE_DIR:VEL_KV21X>\")\n")
  set(CPACK_PROJECT_CONFIG_FILE ${kv210_packaging_build}/CPackProjectConfig.cmake)
  # Packages that need one of ours without linking to it: exactly this version.
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

  foreach(component IN LISTS KV210_COMPONENTS)
    string(TOUPPER ${component} COMPONENT)
    set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${KV210_PACKAGE_${component}})
  endforeach()

  # The library: the ldconfig trigger instead of maintainer scripts that run
  # ldconfig (CPack writes those; a script run after the build takes them out).
  file(WRITE ${kv210_packaging_build}/Unspecified/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_CONTROL_EXTRA ${kv210_packaging_build}/Unspecified/triggers)
  set(CPACK_POST_BUILD_SCRIPTS ${kv210_packaging_dir}/drop-ldconfig-scripts.cmake)
  set(CPACK_COMPONENT_UNSPECIFIED_DESCRIPTION "driver library for KV210 series field probes
VEL_KV21X drives a KV210 field probe on a serial port (9600 baud, 8N1): it
opens the port and checks the probe's model, reads the probe's identity,
battery voltage, temperature, total field and three axis values, and sets
its measuring frequency, filter and automatic switch-off time. Every
function returns an integer result code.

This package contains the shared library.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS Unspecified)
  set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "driver library for KV210 series field probes - development files
VEL_KV21X drives a KV210 field probe on a serial port: identity, readings
and settings, every function returning an integer result code.

This package contains the C header VEL_KV21X.h, the CMake package
(find_package(VEL_KV21X)), the pkg-config file VEL_KV21X.pc, a manual page
for every function (start with man VEL_KV21X) and an example program.")

  set(CPACK_DEBIAN_VELPROBE_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_VELPROBE_PACKAGE_SUGGESTS ${KV210_PACKAGE_simulator})
  # velprobe serve reads Chart.js from Debian's JavaScript libraries at run
  # time: the package that owns that file.
  find_program(KV210_DPKG_QUERY dpkg-query)
  if(VELPROBE_CHART_JS AND KV210_DPKG_QUERY)
    execute_process(COMMAND ${KV210_DPKG_QUERY} --search ${VELPROBE_CHART_JS}
                    OUTPUT_VARIABLE owner ERROR_QUIET)
    if(owner MATCHES "^([^:, ]+): ")
      set(CPACK_DEBIAN_VELPROBE_PACKAGE_DEPENDS ${CMAKE_MATCH_1})
    else()
      message(WARNING "No Debian package owns ${VELPROBE_CHART_JS}: the velprobe package "
                      "will not depend on the one velprobe serve needs (libjs-chart.js)")
    endif()
  endif()
  set(CPACK_COMPONENT_VELPROBE_DESCRIPTION "command-line client and web monitor for KV210 field probes
velprobe checks, reads and sets up a KV210 field probe on a serial port from
the shell: the serial ports and the probes on them, the probe's identity, one
reading or a series of them as text, CSV or JSON, and the measuring
frequency, filter and automatic switch-off time. It has the core of the
VEL_KV21X library built in.

velprobe serve reads probes continuously and serves their readings over
HTTP: a live page with charts, Prometheus metrics and a JSON API. The systemd
unit velprobe-serve@.service runs it for one port.")

  set(CPACK_DEBIAN_PROBEADDR_PACKAGE_SECTION electronics)
  set(CPACK_COMPONENT_PROBEADDR_DESCRIPTION "set the bus address of a KV210 field probe
ProbeAddr is a small windowed tool (Qt 6) for one job: it opens a serial
port, waits for a KV210 probe to answer, shows the probe's model, firmware
release and date and serial number, and writes a new bus address (00 to 99)
into the probe.")

  set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION electronics)
  set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION "simulated KV210 field probe on a pseudo-terminal
kv210-sim answers the serial protocol of a KV210 field probe on a
pseudo-terminal, at the real line speed of 9600 baud or unpaced, with the
identity and readings given on its command line, and misbehaves on request
(silence, wrong or truncated replies, hang-up). Programs for the probe -
on the VEL_KV21X library, velprobe, ProbeAddr or the kv210 Python package -
can be tried and tested without a probe.")

  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  file(STRINGS ${PROJECT_SOURCE_DIR}/python/pyproject.toml requires_python
       REGEX "^requires-python = \">=[0-9.]+\"$")
  string(REGEX REPLACE ".*>=([0-9.]+).*" "\\1" requires_python "${requires_python}")
  if(NOT requires_python MATCHES "^[0-9.]+$")
    message(FATAL_ERROR "python/pyproject.toml: no requires-python = \">=X.Y\" for the package's dependency")
  endif()
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= ${requires_python})")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS ${KV210_PACKAGE_simulator})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS python3-pytest)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
      ${kv210_packaging_dir}/python3-kv210/postinst ${kv210_packaging_dir}/python3-kv210/prerm)
  set(CPACK_COMPONENT_PYTHON_DEPENDS Unspecified)
  set(CPACK_COMPONENT_PYTHON_DESCRIPTION "KV210 field probes from Python 3
The kv210 package drives a KV210 field probe through the VEL_KV21X library
(ctypes): identity, readings and settings, with failures raised as
exceptions; python3 -m kv210 lists ports and shows a probe. Its pytest
plugin gives the fixture kv210_sim, a simulated probe (kv210-sim) on a
pseudo-terminal, for testing probe scripts without a probe.")

  include(CPack)
endmacro()
