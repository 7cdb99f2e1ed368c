# SPDX-License-Identifier: Apache-2.0
# Tests of the Debian packages (label "system"). The source and binary
# packages are built once per run by the fixture packaging_build:
# dpkg-buildpackage on a copy of the source tree, in the sandbox, into
# BUILD/packaging-test; the other tests read them there. Nothing is installed
# on the machine: the packages are unpacked, or installed with dpkg inside a
# sandbox whose /usr, /var and /etc are overlays (--writable-system).
#
# The package build compiles the tree anew with its own flags, whatever this
# build's configuration, so a sanitizer build would only repeat the same
# tests: they are registered in builds without a sanitizer.
if(NOT VORN_SANITIZE STREQUAL "" OR NOT DEFINED VORN_SANDBOX)
    return()
endif()

set(VORN_PACKAGING_OUT "${CMAKE_BINARY_DIR}/packaging-test")
set(VORN_PACKAGING_TESTS "${PROJECT_SOURCE_DIR}/tests/packaging")
set(VORN_SANDBOXED "${VORN_SANDBOX}" --keep "${CMAKE_BINARY_DIR}")

add_test(NAME packaging_build
    COMMAND ${VORN_SANDBOXED} bash "${VORN_PACKAGING_TESTS}/packaging_build.sh"
            "${PROJECT_SOURCE_DIR}" "${VORN_PACKAGING_OUT}")
# The tree compiles in about two minutes on two idle cores; other tests run
# beside it.
set_tests_properties(packaging_build PROPERTIES
    LABELS system TIMEOUT 900 FIXTURES_SETUP vorn_packages)

add_test(NAME packaging_lintian
    COMMAND ${VORN_SANDBOXED} bash "${VORN_PACKAGING_TESTS}/packaging_lintian_test.sh" "${VORN_PACKAGING_OUT}")
add_test(NAME packaging_contents
    COMMAND bash "${VORN_PACKAGING_TESTS}/packaging_contents_test.sh" "${VORN_PACKAGING_OUT}")
add_test(NAME packaging_units
    COMMAND bash "${VORN_PACKAGING_TESTS}/packaging_units_test.sh" "${VORN_PACKAGING_OUT}")
add_test(NAME packaging_manpages
    COMMAND ${VORN_SANDBOXED} bash "${VORN_PACKAGING_TESTS}/packaging_manpages_test.sh" "${VORN_PACKAGING_OUT}")
add_test(NAME packaging_scripts
    COMMAND ${VORN_SANDBOXED} --writable-system bash "${VORN_PACKAGING_TESTS}/packaging_scripts_test.sh" "${VORN_PACKAGING_OUT}")
# Installs the packages and runs their autopkgtests (debian/tests); calls the
# sandbox itself.
add_test(NAME packaging_installed
    COMMAND bash "${VORN_PACKAGING_TESTS}/packaging_installed_test.sh"
            "${VORN_SANDBOX}" "${PROJECT_SOURCE_DIR}" "${VORN_PACKAGING_OUT}")
# The configuration through installations, upgrades and a purge.
add_test(NAME packaging_upgrade
    COMMAND ${VORN_SANDBOXED} --writable-system bash "${VORN_PACKAGING_TESTS}/packaging_upgrade_test.sh" "${VORN_PACKAGING_OUT}")
set_tests_properties(packaging_lintian packaging_contents packaging_units packaging_manpages packaging_scripts
    packaging_installed packaging_upgrade PROPERTIES LABELS system TIMEOUT 300 FIXTURES_REQUIRED vorn_packages)

# The units' supervision and the manager's hardening score.
add_test(NAME packaging_hardening
    COMMAND bash "${VORN_PACKAGING_TESTS}/packaging_hardening_test.sh" "${VORN_PACKAGING_OUT}")
set_tests_properties(packaging_hardening PROPERTIES LABELS system TIMEOUT 300 FIXTURES_REQUIRED vorn_packages)
