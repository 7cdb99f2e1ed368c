# SPDX-License-Identifier: Apache-2.0
# Installation: every file where a Debian system keeps it. The Debian
# packages (debian/) are made from these rules: dh_auto_install installs them
# into debian/tmp and debian/*.install split the files among the packages.
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
# vornmgrd and vornmgr-modsim are installed by their own cmake files.
foreach(program brel-system-services vornmgrctl)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    endif()
endforeach()

foreach(unit vornmgrd.service brel-system-services.service vornmgr-metrics.service)
    configure_file(packaging/${unit}.in ${VORN_INSTALL_OUT}/${unit} @ONLY)
    install(FILES ${VORN_INSTALL_OUT}/${unit} DESTINATION ${VORN_SYSTEMD_UNIT_DIR})
endforeach()
# The metrics for the node exporter, every 30 s where it is installed, with
# example alert rules on them.
install(FILES packaging/vornmgr-metrics.timer DESTINATION ${VORN_SYSTEMD_UNIT_DIR})
install(FILES examples/vornmgr.rules.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vornmgr/examples)

# The programs read the configuration at /etc/norvane whatever the prefix.
# vornmgrctl rewrites it (the boot mode), so an installation never replaces a
# file already there: the default is kept in the data directory, and copied
# to /etc/norvane only where no configuration is. The Debian package ships
# the default alone and its postinst hands it to ucf. The manager's unit reads
# the service's environment (its reboot commands) from /etc/default, where a
# Debian system keeps it.
install(FILES packaging/vornmgrd.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/vornmgr)
install(CODE "
    if(EXISTS \"\$ENV{DESTDIR}/etc/norvane/vornmgrd.conf\")
        message(STATUS \"Kept: \$ENV{DESTDIR}/etc/norvane/vornmgrd.conf (the default is in ${CMAKE_INSTALL_FULL_DATADIR}/vornmgr)\")
    else()
        file(INSTALL DESTINATION /etc/norvane TYPE FILE FILES \"${PROJECT_SOURCE_DIR}/packaging/vornmgrd.conf\")
    endif()")
install(FILES packaging/vornmgrd.default DESTINATION /etc/default RENAME vornmgrd)

install(FILES packaging/vornmgrctl.bash-completion DESTINATION ${VORN_BASH_COMPLETION_DIR}
        RENAME vornmgrctl)

# --- client library ----------------------------------------------------------
if(TARGET vornmgr)
    install(TARGETS vornmgr LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    install(FILES lib/vorn_mgr_intf.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
    # Made here rather than taken from the build tree, so that it names the
    # prefix and library directory chosen above.
    configure_file(src/libvornmgr/libvornmgr.pc.in ${VORN_INSTALL_OUT}/libvornmgr.pc @ONLY)
    install(FILES ${VORN_INSTALL_OUT}/libvornmgr.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
    install(FILES examples/example_module.c DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libvornmgr-dev/examples)
endif()

# --- manual pages --------------------------------------------------------------
# Installed as written; the Debian packages compress them (dh_compress).
foreach(page vornmgrd.8 vornmgrctl.8 brel-system-services.8 vornmgr-modsim.8 libvornmgr.3)
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES man/${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
