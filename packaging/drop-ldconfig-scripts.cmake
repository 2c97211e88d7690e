# Run by CPack after it has built the packages (CPACK_POST_BUILD_SCRIPTS).
#
# CPack gives a package with a shared library in /usr/lib postinst and postrm
# scripts that only run ldconfig. On Debian dpkg runs ldconfig itself, once,
# through the "ldconfig" trigger that the library package activates (its
# triggers file), and lintian rejects the scripts. This rebuilds the library
# package without them; everything else in it stays as CPack made it.
set(library_package "${CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME}")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(deb_name "${deb}" NAME)
  if(NOT deb_name MATCHES "^${library_package}_.*\\.deb$")
    continue()
  endif()
  set(tree "${CPACK_TOPLEVEL_DIRECTORY}/repack-${library_package}")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(EXISTS "${path}")
      file(READ "${path}" text)
      string(REGEX REPLACE "[ \t\n]+" " " words "${text}")
      if(NOT words MATCHES "^#!/bin/sh set -e if \\[ \"\\$1\" = \"[a-z]+\" \\]; then ldconfig fi ?$")
        message(FATAL_ERROR "${deb_name}: ${script} does more than run ldconfig:\n${text}")
      endif()
      file(REMOVE "${path}")
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
