# Installation: every file where a Debian system keeps it. Each rule names the
# component, and so the Debian package (cmake/packaging.cmake), it belongs to:
#   vornmgr         the daemons, the tools, units, configuration, manual pages
#                   (vornmgrd and vornmgr-modsim are installed by their own
#                   cmake files without a component; they are packaged here too)
#   libvornmgr0     the client library libvornmgr.so.0
#   libvornmgr-dev  header, link name, pkg-config file, libvornmgr(3), example
# Test programs are never installed.

# System software: the programs read /etc/norvane, run their helpers from
# /usr/lib/norvane and are started by systemd, so unless the builder chose a
# prefix they install into /usr, as the Debian packages do. Including
# GNUInstallDirs again recomputes its defaults for the new prefix (on Debian
# the multiarch library directory).
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
    set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install path prefix, prepended onto install directories." FORCE)
    include(GNUInstallDirs)
endif()

set(VORN_INSTALL_OUT "${CMAKE_BINARY_DIR}/install")

# systemd's own unit directory when installing into /usr; under any other
# prefix the units go to PREFIX/lib/systemd/system, which systemd also reads
# for /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    pkg_get_variable(VORN_SYSTEMD_UNIT_DIR_DEFAULT systemd systemdsystemunitdir)
endif()
if(NOT VORN_SYSTEMD_UNIT_DIR_DEFAULT)
    set(VORN_SYSTEMD_UNIT_DIR_DEFAULT lib/systemd/system)
endif()
set(VORN_SYSTEMD_UNIT_DIR "${VORN_SYSTEMD_UNIT_DIR_DEFAULT}" CACHE STRING "Where the systemd units are installed")

pkg_get_variable(VORN_BASH_COMPLETION_DIR_DEFAULT bash-completion completionsdir)
if(NOT VORN_BASH_COMPLETION_DIR_DEFAULT OR NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(VORN_BASH_COMPLETION_DIR_DEFAULT ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()
set(VORN_BASH_COMPLETION_DIR "${VORN_BASH_COMPLETION_DIR_DEFAULT}" CACHE STRING
    "Where the bash completion of vornmgrctl is installed")

# --- programs ----------------------------------------------------------------
foreach(program brel-system-services vornmgrctl)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT vornmgr)
    endif()
endforeach()

foreach(unit vornmgrd.service brel-system-services.service)
    configure_file(packaging/${unit}.in ${VORN_INSTALL_OUT}/${unit} @ONLY)
    install(FILES ${VORN_INSTALL_OUT}/${unit} DESTINATION ${VORN_SYSTEMD_UNIT_DIR} COMPONENT vornmgr)
endforeach()

# The programs read the configuration at this path whatever the prefix.
install(FILES packaging/vornmgrd.conf DESTINATION /etc/norvane COMPONENT vornmgr)

install(FILES packaging/vornmgrctl.bash-completion DESTINATION ${VORN_BASH_COMPLETION_DIR}
        RENAME vornmgrctl COMPONENT vornmgr)

# --- client library ----------------------------------------------------------
if(TARGET vornmgr)
    install(TARGETS vornmgr
            LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libvornmgr0
            NAMELINK_COMPONENT libvornmgr-dev)
    install(FILES lib/vorn_mgr_intf.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libvornmgr-dev)
    # Made here rather than taken from the build tree, so that it names the
    # prefix and library directory chosen above.
    configure_file(src/libvornmgr/libvornmgr.pc.in ${VORN_INSTALL_OUT}/libvornmgr.pc @ONLY)
    install(FILES ${VORN_INSTALL_OUT}/libvornmgr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
            COMPONENT libvornmgr-dev)
    install(FILES examples/example_module.c DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libvornmgr-dev/examples
            COMPONENT libvornmgr-dev)
endif()

# --- manual pages, compressed as Debian ships them -----------------------------
find_program(VORN_GZIP gzip REQUIRED)
set(VORN_MAN_PAGES vornmgrd.8 vornmgrctl.8 brel-system-services.8 vornmgr-modsim.8 libvornmgr.3)
set(VORN_MAN_GZ "")
foreach(page IN LISTS VORN_MAN_PAGES)
    set(source ${PROJECT_SOURCE_DIR}/man/${page})
    if(NOT EXISTS ${source})
        continue()
    endif()
    set(compressed ${VORN_INSTALL_OUT}/man/${page}.gz)
    add_custom_command(OUTPUT ${compressed}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${VORN_INSTALL_OUT}/man/${page}
        COMMAND ${VORN_GZIP} -9nf ${VORN_INSTALL_OUT}/man/${page}
        DEPENDS ${source}
        COMMENT "Compressing manual page ${page}"
        VERBATIM)
    list(APPEND VORN_MAN_GZ ${compressed})
    string(REGEX MATCH "[0-9]$" section ${page})
    if(section STREQUAL "3")
        set(component libvornmgr-dev)
    else()
        set(component vornmgr)
    endif()
    install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endforeach()
add_custom_target(vorn_manual_pages ALL DEPENDS ${VORN_MAN_GZ})

# --- Debian's documentation files: copyright and changelog in each package ----
set(changelog_gz ${VORN_INSTALL_OUT}/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog_gz}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/packaging/changelog ${VORN_INSTALL_OUT}/changelog.Debian
    COMMAND ${VORN_GZIP} -9nf ${VORN_INSTALL_OUT}/changelog.Debian
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
    COMMENT "Compressing the Debian changelog"
    VERBATIM)
add_custom_target(vorn_debian_changelog ALL DEPENDS ${changelog_gz})
foreach(package vornmgr libvornmgr0 libvornmgr-dev)
    install(FILES packaging/copyright ${changelog_gz}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${package})
endforeach()
