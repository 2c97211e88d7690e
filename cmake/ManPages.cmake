# kv210_install_man(COMPONENT <component> PAGES <page>... [ALIASES <page>=<name>...])
#
# Installs manual pages compressed (gzip -9n, as man-db reads them and Debian
# wants them), each into the man<section> folder its file extension names.
# ALIASES adds a page under another name, a one-line ".so" page that man
# follows to the real one: VEL_Firmware.3=VEL_SerialNumber makes
# "man VEL_SerialNumber" show VEL_Firmware(3).
function(kv210_install_man)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "COMPONENT" "PAGES;ALIASES")
  if(NOT arg_COMPONENT OR NOT arg_PAGES)
    message(FATAL_ERROR "kv210_install_man: COMPONENT and PAGES are required")
  endif()
  find_program(KV210_GZIP gzip REQUIRED)
  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/man)
  file(MAKE_DIRECTORY ${out_dir})
  set(outputs)

  foreach(page IN LISTS arg_PAGES)
    get_filename_component(page_path ${page} ABSOLUTE)
    get_filename_component(page_name ${page} NAME)
    set(gz ${out_dir}/${page_name}.gz)
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E copy ${page_path} ${out_dir}/${page_name}
      COMMAND ${KV210_GZIP} -9nf ${out_dir}/${page_name}
      DEPENDS ${page_path}
      COMMENT "Compressing ${page_name}"
      VERBATIM)
    list(APPEND outputs ${gz})
  endforeach()

  foreach(alias IN LISTS arg_ALIASES)
    if(NOT alias MATCHES "^([^=]+)\\.([1-9])=([^=]+)$")
      message(FATAL_ERROR "kv210_install_man: alias '${alias}' is not <page>.<section>=<name>")
    endif()
    set(target_page ${CMAKE_MATCH_1}.${CMAKE_MATCH_2})
    set(section ${CMAKE_MATCH_2})
    set(stub ${CMAKE_CURRENT_BINARY_DIR}/man-aliases/${CMAKE_MATCH_3}.${section})
    set(gz ${out_dir}/${CMAKE_MATCH_3}.${section}.gz)
    file(WRITE ${stub} ".so man${section}/${target_page}\n")
    add_custom_command(OUTPUT ${gz}
      COMMAND ${CMAKE_COMMAND} -E copy ${stub} ${out_dir}/
      COMMAND ${KV210_GZIP} -9nf ${out_dir}/${CMAKE_MATCH_3}.${section}
      DEPENDS ${stub}
      COMMENT "Manual page ${CMAKE_MATCH_3}(${section}) for ${target_page}"
      VERBATIM)
    list(APPEND outputs ${gz})
  endforeach()

  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(MAKE_C_IDENTIFIER "man_pages_${folder}" target)
  add_custom_target(${target} ALL DEPENDS ${outputs})
  foreach(gz IN LISTS outputs)
    string(REGEX MATCH "\\.([1-9])\\.gz$" _ ${gz})
    install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1}
            COMPONENT ${arg_COMPONENT})
  endforeach()
endfunction()
