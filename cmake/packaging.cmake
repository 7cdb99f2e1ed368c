# Debian packages, built by CPack's DEB generator from the install rules
# (cmake/install.cmake): `cpack -G DEB` in the build tree, after the build.
#   vornmgr         the daemons, the tools, units, configuration, manual pages
#   libvornmgr0     the client library
#   libvornmgr-dev  what a module's developer builds against
# Dependencies on other packages come from dpkg-shlibdeps; the ones between
# our own packages are exact versions, as the library has no symbols file.

set(VORN_DEB_VERSION "${PROJECT_VERSION}-1")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vornmgr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "vornmgr maintainers <maintainers@users.noreply.c-seed-3f4ad9f7.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Install with DESTDIR: the configuration and the units have absolute
# destinations (/etc/norvane, systemd's unit directory), which must land in
# the package's staging tree, never on this machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    message(STATUS "Debian packages will install under ${CMAKE_INSTALL_PREFIX}, not /usr")
endif()

# One package per group. The rules of other cmake files that name no
# component (vornmgrd, vornmgr-modsim) install into "Unspecified", which
# belongs with the programs.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL Unspecified vornmgr libvornmgr0 libvornmgr-dev)
set(CPACK_COMPONENT_UNSPECIFIED_GROUP vornmgr)
set(CPACK_COMPONENT_VORNMGR_GROUP vornmgr)
set(CPACK_COMPONENT_LIBVORNMGR0_GROUP libvornmgr0)
set(CPACK_COMPONENT_LIBVORNMGR-DEV_GROUP libvornmgr-dev)

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libvornmgr.so.0, needed by the programs, in the build
# tree; the dependency on its package is stated below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}")
# A shlibs file for libvornmgr0, so that modules built against it depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# Debug information goes into -dbgsym packages, as Debian ships it.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_VORNMGR_PACKAGE_NAME vornmgr)
set(CPACK_DEBIAN_VORNMGR_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_VORNMGR_PACKAGE_DEPENDS "libvornmgr0 (= ${VORN_DEB_VERSION})")
# vornmgrctl -u runs the package manager through sudo; -p0 and -p1 switch the
# ports with ifupdown2's ifdown and ifreload.
set(CPACK_DEBIAN_VORNMGR_PACKAGE_RECOMMENDS "sudo, ifupdown2")
set(CPACK_DEBIAN_VORNMGR_DESCRIPTION
    "lifecycle manager of a network switch's control-plane daemons
vornmgrd takes the control-plane daemons of a switch (modules) down and up
again in layering order, acknowledged, through cold, fast and warm restarts,
maintenance windows and in-service upgrades. brel-system-services is the
module of the host's system services; vornmgrctl is the operator's tool;
vornmgr-modsim simulates a module to rehearse a restart.")
# Maintainer scripts that enable and start the units (packaging/deb/vornmgr),
# and the configuration as a conffile: an operator's edits, and vornmgrctl's
# rewrites, survive upgrades.
set(VORN_DEB_CONTROL_DIR "${PROJECT_SOURCE_DIR}/packaging/deb/vornmgr")
set(CPACK_DEBIAN_VORNMGR_PACKAGE_CONTROL_EXTRA
    "${VORN_DEB_CONTROL_DIR}/postinst;${VORN_DEB_CONTROL_DIR}/prerm;${VORN_DEB_CONTROL_DIR}/postrm;${VORN_DEB_CONTROL_DIR}/conffiles")
set(CPACK_DEBIAN_VORNMGR_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIBVORNMGR0_PACKAGE_NAME libvornmgr0)
set(CPACK_DEBIAN_LIBVORNMGR0_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBVORNMGR0_DESCRIPTION
    "client library of the switch lifecycle manager vornmgrd
libvornmgr is linked by every module of the switch to register with the
lifecycle manager, answer its broadcasts and send it requests over ZeroMQ on
the loopback interface.")

set(CPACK_DEBIAN_LIBVORNMGR-DEV_PACKAGE_NAME libvornmgr-dev)
set(CPACK_DEBIAN_LIBVORNMGR-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_LIBVORNMGR-DEV_PACKAGE_DEPENDS "libvornmgr0 (= ${VORN_DEB_VERSION}), libzmq3-dev")
set(CPACK_DEBIAN_LIBVORNMGR-DEV_DESCRIPTION
    "development files of libvornmgr, the switch lifecycle manager's client library
The shared interface header vorn_mgr_intf.h (wire records, text functions and
the library's calls), the link name, the pkg-config file, the manual page
libvornmgr(3) and an example module.")

include(CPack)

if(VORN_BUILD_TESTS)
    include(${PROJECT_SOURCE_DIR}/tests/packaging/packaging_tests.cmake)
endif()
