# Client bindings of the Wayland protocols the Wayland back-end speaks, made by wayland-scanner at
# build time into one small C library that only the platform layer links.
#   - the core protocol (wl_seat, wl_keyboard): libwayland-client itself;
#   - wlr data-control and foreign-toplevel: the definitions Debian ships in
#     librust-wayland-protocols-dev (no other Debian 12 package carries them);
#   - the virtual keyboard: no Debian package ships it; its definition lives beside this file.
pkg_check_modules(WAYLAND REQUIRED IMPORTED_TARGET wayland-client)
pkg_get_variable(WAYLAND_SCANNER wayland-scanner wayland_scanner)
if(NOT WAYLAND_SCANNER)
  find_program(WAYLAND_SCANNER wayland-scanner REQUIRED)
endif()

file(GLOB _wlr_protocol_dirs LIST_DIRECTORIES true
  /usr/share/cargo/registry/wayland-protocols-*/wlr-protocols/unstable)
set(_wlr_default_dir "")
if(_wlr_protocol_dirs)
  list(SORT _wlr_protocol_dirs COMPARE NATURAL ORDER DESCENDING)
  list(GET _wlr_protocol_dirs 0 _wlr_default_dir)
endif()
set(VANTROSE_WLR_PROTOCOLS_DIR "${_wlr_default_dir}" CACHE PATH
  "Folder holding wlr-data-control-unstable-v1.xml and wlr-foreign-toplevel-management-unstable-v1.xml")

set(_wayland_protocol_xml
  ${CMAKE_CURRENT_LIST_DIR}/virtual-keyboard-unstable-v1.xml
  ${VANTROSE_WLR_PROTOCOLS_DIR}/wlr-data-control-unstable-v1.xml
  ${VANTROSE_WLR_PROTOCOLS_DIR}/wlr-foreign-toplevel-management-unstable-v1.xml)

set(_wayland_generated ${CMAKE_CURRENT_BINARY_DIR}/generated/wayland)
file(MAKE_DIRECTORY ${_wayland_generated})
set(_wayland_protocol_sources)
set(VANTROSE_WAYLAND_PROTOCOL_HEADERS)
foreach(xml IN LISTS _wayland_protocol_xml)
  if(NOT EXISTS ${xml})
    message(FATAL_ERROR "Wayland protocol definition missing: ${xml} (scripts/install-deps.sh installs it)")
  endif()
  get_filename_component(name ${xml} NAME_WE)
  add_custom_command(
    OUTPUT ${_wayland_generated}/${name}-client-protocol.h ${_wayland_generated}/${name}-protocol.c
    COMMAND ${WAYLAND_SCANNER} client-header ${xml} ${_wayland_generated}/${name}-client-protocol.h
    COMMAND ${WAYLAND_SCANNER} private-code ${xml} ${_wayland_generated}/${name}-protocol.c
    DEPENDS ${xml}
    VERBATIM)
  list(APPEND _wayland_protocol_sources
    ${_wayland_generated}/${name}-client-protocol.h ${_wayland_generated}/${name}-protocol.c)
  list(APPEND VANTROSE_WAYLAND_PROTOCOL_HEADERS ${_wayland_generated}/${name}-client-protocol.h)
endforeach()

add_library(vantrose_wayland_protocols STATIC ${_wayland_protocol_sources})
target_include_directories(vantrose_wayland_protocols SYSTEM PUBLIC ${_wayland_generated})
target_link_libraries(vantrose_wayland_protocols PUBLIC PkgConfig::WAYLAND)
