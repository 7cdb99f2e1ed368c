# SPDX-License-Identifier: Apache-2.0
# Debian packages: built by debhelper from debian/ with dpkg-buildpackage,
# which drives this tree's own install rules (cmake/install.cmake); see the
# README. Nothing here builds them: the build tree only registers their tests.
#   vornmgr          the daemons, the tool, units, configuration, manual pages
#   vornmgr-tools    the module simulator vornmgr-modsim
#   libvornmgr0      the client library (with its symbols file)
#   libvornmgr-dev   headers, link name, pkg-config file, libvornmgr(3), example
#   python3-vornmgr  the Python binding

if(VORN_BUILD_TESTS)
    include(${PROJECT_SOURCE_DIR}/tests/packaging/packaging_tests.cmake)
endif()
