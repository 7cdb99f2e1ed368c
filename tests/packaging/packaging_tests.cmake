# Tests of the installation and the Debian packages (label "system"). The
# packages are built once per run by the fixture packaging_build, in the
# sandbox, into BUILD/packaging-test; the other tests read them there. Nothing
# is installed on the machine: the packages are only unpacked.
#
# The expected file lists are those of packages for /usr, the Debian layout;
# under another prefix the packages are not tested.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR NOT DEFINED VORN_SANDBOX)
    message(STATUS "Packaging tests need CMAKE_INSTALL_PREFIX=/usr and the sandbox: not registered")
    return()
endif()

set(VORN_PACKAGING_OUT "${CMAKE_BINARY_DIR}/packaging-test")
set(VORN_PACKAGING_TESTS "${PROJECT_SOURCE_DIR}/tests/packaging")
set(VORN_SANDBOXED "${VORN_SANDBOX}" --keep "${CMAKE_BINARY_DIR}")
if(IS_ABSOLUTE "${VORN_SYSTEMD_UNIT_DIR}")
    set(VORN_UNIT_DIR_FULL "${VORN_SYSTEMD_UNIT_DIR}")
else()
    set(VORN_UNIT_DIR_FULL "${CMAKE_INSTALL_PREFIX}/${VORN_SYSTEMD_UNIT_DIR}")
endif()

add_test(NAME packaging_build
    COMMAND ${VORN_SANDBOXED} bash "${VORN_PACKAGING_TESTS}/packaging_build.sh"
            "${CMAKE_BINARY_DIR}" "${VORN_PACKAGING_OUT}")
set_tests_properties(packaging_build PROPERTIES
    LABELS system TIMEOUT 300 FIXTURES_SETUP vorn_packages)

add_test(NAME packaging_contents
    COMMAND bash "${VORN_PACKAGING_TESTS}/packaging_contents_test.sh"
            "${VORN_PACKAGING_OUT}" "${VORN_UNIT_DIR_FULL}" "${CMAKE_INSTALL_LIBDIR}")
add_test(NAME packaging_units
    COMMAND bash "${VORN_PACKAGING_TESTS}/packaging_units_test.sh" "${VORN_PACKAGING_OUT}" "${VORN_UNIT_DIR_FULL}")
add_test(NAME packaging_manpages
    COMMAND ${VORN_SANDBOXED} bash "${VORN_PACKAGING_TESTS}/packaging_manpages_test.sh" "${VORN_PACKAGING_OUT}")
add_test(NAME packaging_scripts
    COMMAND ${VORN_SANDBOXED} bash "${VORN_PACKAGING_TESTS}/packaging_scripts_test.sh" "${VORN_PACKAGING_OUT}")
# Calls the sandbox itself, once per scenario. A module built against a
# sanitizer build's library needs the same sanitizer.
set(VORN_EXAMPLE_CFLAGS "")
if(VORN_SANITIZE STREQUAL "address")
    set(VORN_EXAMPLE_CFLAGS "-fsanitize=address,undefined")
elseif(VORN_SANITIZE STREQUAL "thread")
    set(VORN_EXAMPLE_CFLAGS "-fsanitize=thread")
endif()
add_test(NAME packaging_installed
    COMMAND bash "${VORN_PACKAGING_TESTS}/packaging_installed_test.sh"
            "${VORN_SANDBOX}" "${PROJECT_SOURCE_DIR}" "${VORN_PACKAGING_OUT}" "${CMAKE_INSTALL_LIBDIR}"
            "${VORN_EXAMPLE_CFLAGS}")
set_tests_properties(packaging_contents packaging_units packaging_manpages packaging_scripts packaging_installed
    PROPERTIES LABELS system TIMEOUT 180 FIXTURES_REQUIRED vorn_packages)
