# The Debian package quorin-remote-host, built by CPack (`scripts/package`): the host's
# install rules (component "host", which `cmake --install` also installs), the manual page,
# and the files only the package carries (component "package": the systemd user unit, the
# copyright, changelog and README.Debian). Runtime library
# dependencies come from dpkg-shlibdeps; the services the host talks to but does not link
# are named below.

include(${CMAKE_CURRENT_LIST_DIR}/QuorinVersion.cmake)

set(quorin_packaging ${CMAKE_SOURCE_DIR}/packaging)
set(quorin_packaging_out ${CMAKE_BINARY_DIR}/packaging)
set(quorin_doc share/doc/quorin-remote-host)

# The changelog's newest entry must name the version being packaged.
file(STRINGS ${quorin_packaging}/changelog quorin_changelog_head LIMIT_COUNT 1)
if(NOT quorin_changelog_head MATCHES "^quorin-remote-host \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with version ${PROJECT_VERSION}: "
                      "add an entry for it")
endif()

# Debian wants manual pages and changelogs compressed, reproducibly (-n: no name, no time).
set(quorin_compressed)
foreach(file quorin-remote-host.1 changelog)
  add_custom_command(OUTPUT ${quorin_packaging_out}/${file}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${quorin_packaging_out}
    COMMAND sh -c "gzip -9n < \"$0\" > \"$1\"" ${quorin_packaging}/${file}
            ${quorin_packaging_out}/${file}.gz
    DEPENDS ${quorin_packaging}/${file}
    VERBATIM)
  list(APPEND quorin_compressed ${quorin_packaging_out}/${file}.gz)
endforeach()
add_custom_target(quorin_packaging_files ALL DEPENDS ${quorin_compressed})

install(FILES ${quorin_packaging_out}/quorin-remote-host.1.gz DESTINATION share/man/man1
        COMPONENT host)
install(FILES ${quorin_packaging}/quorin-remote-host.service DESTINATION lib/systemd/user
        COMPONENT package EXCLUDE_FROM_ALL)
install(FILES ${quorin_packaging}/copyright ${quorin_packaging}/README.Debian
              ${quorin_packaging_out}/changelog.gz
        DESTINATION ${quorin_doc} COMPONENT package EXCLUDE_FROM_ALL)

# cpack (and `make install`) would otherwise build every target first, tests included;
# scripts/package builds what the package holds.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorin-remote-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};host;/"
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};package;/")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quorin Remote Host maintainers <maintainers@users.noreply.c-seed-55eb3c72.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "lets a paired phone or tablet see and control this desktop
Quorin Remote Host advertises this Linux desktop on the local network (DNS-SD),
accepts one paired device at a time over TLS with a pre-shared key, streams the
screen as H.264 and carries out the device's pointer, keyboard and power
commands. It works on X11 and, through the desktop portal and PipeWire, on
Wayland desktops. It runs as a tray application, or headless as a systemd user
service.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Talked to over D-Bus or the portal, never linked: dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS avahi-daemon)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "gnome-keyring | org.freedesktop.secrets, xdg-desktop-portal, pipewire")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
