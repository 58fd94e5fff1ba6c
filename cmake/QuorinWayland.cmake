# quorin_wayland_protocol(<target> <xml>): a static library holding the client code that
# wayland-scanner generates for one protocol; its header is <basename>-client-protocol.h.
# Each protocol is generated once so that every binary links one copy of its interfaces.
find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
pkg_check_modules(QUORIN_WAYLAND_CLIENT REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(QUORIN_WAYLAND_PROTOCOLS_DIR wayland-protocols pkgdatadir)

function(quorin_wayland_protocol target xml)
  if(TARGET ${target})
    return()
  endif()
  get_filename_component(base ${xml} NAME_WE)
  set(dir ${CMAKE_BINARY_DIR}/wayland-protocols)
  set(header ${dir}/${base}-client-protocol.h)
  set(code ${dir}/${base}-protocol.c)
  add_custom_command(
    OUTPUT ${header} ${code}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${header}
    COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${code}
    DEPENDS ${xml}
    VERBATIM)
  add_library(${target} STATIC ${header} ${code})
  set_source_files_properties(${code} PROPERTIES LANGUAGE C)
  target_include_directories(${target} PUBLIC ${dir})
  target_link_libraries(${target} PUBLIC PkgConfig::QUORIN_WAYLAND_CLIENT)
endfunction()
