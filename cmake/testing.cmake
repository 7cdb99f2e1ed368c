# SPDX-License-Identifier: Apache-2.0
# Test helpers and the system-test support library.
#
#   vorn_add_unit_test(NAME n [THREAD] SOURCES ... [LIBS ...] [TIMEOUT s])
#       A gtest program; each test case is a ctest test "n.Suite.Case",
#       label "unit". Runs directly on the build machine.
#
#   vorn_add_system_test(NAME n [THREAD] SOURCES ... [LIBS ...] [DEPENDS targets...] [TIMEOUT s])
#       A gtest program linked with vorn_test_support; each test case is a
#       ctest test "n.Suite.Case", label "system", run in a sandbox of its own
#       (tools/sandbox), so cases may run in parallel (ctest -j) although the
#       programs use fixed ports, sockets and files. The DEPENDS targets are
#       built first and bin_path("<target file name>") returns their exact
#       paths. Default TIMEOUT 120 s.
#
#   THREAD marks a program whose cases exercise threads: their label ends in
#   "-thread", and the target thread_tests builds every such program, which
#   is what the ThreadSanitizer pass of scripts/test builds and runs
#   (ctest -L thread).
include(GoogleTest)

add_custom_target(thread_tests)

# vorn_test_labels(<out-var> <base label> <THREAD flag>): one label, since
# the discovered tests' properties pass through a script that splits lists:
# "unit" or "system", and "unit-thread" or "system-thread" for THREAD
# programs (ctest -L takes a regular expression: -L unit selects both).
function(vorn_test_labels out base thread)
    if(thread)
        set(${out} "${base}-thread" PARENT_SCOPE)
    else()
        set(${out} "${base}" PARENT_SCOPE)
    endif()
endfunction()

set(VORN_SANDBOX "${PROJECT_SOURCE_DIR}/tools/sandbox")

add_library(vorn_test_support STATIC tests/system/support/vorn_test_support.cpp)
target_include_directories(vorn_test_support PUBLIC
    "${PROJECT_SOURCE_DIR}/tests/system/support" "${PROJECT_SOURCE_DIR}/tests/support" "${CPPZMQ_INCLUDE_DIR}")
target_link_libraries(vorn_test_support PUBLIC PkgConfig::ZMQ GTest::gtest Threads::Threads)
# Options structs (ProcessOptions, StubBehaviour) are meant to be filled with
# designated initializers naming only the fields that matter.
# GCC 12 with -fsanitize=address reports false maybe-uninitialized errors
# inside <regex>, which the tests use for wait_for_stderr patterns.
target_compile_options(vorn_test_support PUBLIC -Wno-missing-field-initializers
    $<$<CXX_COMPILER_ID:GNU>:-Wno-maybe-uninitialized>)
target_compile_definitions(vorn_test_support PRIVATE
    VORN_BIN_DIR="${CMAKE_BINARY_DIR}"
    VORN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

function(vorn_add_unit_test)
    cmake_parse_arguments(PARSE_ARGV 0 ARG "THREAD" "NAME;TIMEOUT" "SOURCES;LIBS")
    if(NOT ARG_NAME OR NOT ARG_SOURCES)
        message(FATAL_ERROR "vorn_add_unit_test: NAME and SOURCES are required")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 60)
    endif()
    add_executable(${ARG_NAME} ${ARG_SOURCES})
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest_main Threads::Threads)
    # Helpers shared by unit and system tests (log_capture.h).
    target_include_directories(${ARG_NAME} PRIVATE "${PROJECT_SOURCE_DIR}/tests/support")
    # Unit tests run in the sandbox too: GoogleTest's own output capture
    # writes into /tmp, which must be the sandbox's, not the machine's.
    set_target_properties(${ARG_NAME} PROPERTIES CROSSCOMPILING_EMULATOR "${VORN_SANDBOX}")
    vorn_test_labels(labels unit "${ARG_THREAD}")
    if(ARG_THREAD)
        add_dependencies(thread_tests ${ARG_NAME})
    endif()
    gtest_discover_tests(${ARG_NAME}
        TEST_PREFIX "${ARG_NAME}."
        DISCOVERY_MODE PRE_TEST
        PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT} ${VORN_TEST_ENVIRONMENT})
endfunction()

# libzmq is not built with ThreadSanitizer: its internal hand-overs are
# suppressed, our own code is checked in full.
set(VORN_TEST_ENVIRONMENT "")
if(VORN_SANITIZE STREQUAL "thread")
    set(VORN_TEST_ENVIRONMENT ENVIRONMENT
        "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1")
endif()

function(vorn_add_system_test)
    cmake_parse_arguments(PARSE_ARGV 0 ARG "THREAD" "NAME;TIMEOUT" "SOURCES;LIBS;DEPENDS")
    if(NOT ARG_NAME OR NOT ARG_SOURCES)
        message(FATAL_ERROR "vorn_add_system_test: NAME and SOURCES are required")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()

    # Registers the exact path of each program the test depends on, for
    # bin_path(); generated because the paths are known only at generate time.
    set(registrations "#include \"vorn_test_support.h\"\n")
    set(index 0)
    foreach(dependency IN LISTS ARG_DEPENDS)
        string(APPEND registrations
            "static const vorn_test::ProgramRegistration program_${index}{"
            "\"$<TARGET_FILE_NAME:${dependency}>\", \"$<TARGET_FILE:${dependency}>\"};\n")
        math(EXPR index "${index} + 1")
    endforeach()
    set(registration_source "${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_programs.cpp")
    file(GENERATE OUTPUT "${registration_source}" CONTENT "${registrations}")

    add_executable(${ARG_NAME} ${ARG_SOURCES} "${registration_source}")
    target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} vorn_test_support GTest::gtest_main)
    if(ARG_DEPENDS)
        add_dependencies(${ARG_NAME} ${ARG_DEPENDS})
    endif()
    # gtest_discover_tests runs both the listing of the cases and every case
    # through the target's emulator: here, each in a fresh sandbox.
    set_target_properties(${ARG_NAME} PROPERTIES CROSSCOMPILING_EMULATOR "${VORN_SANDBOX}")
    vorn_test_labels(labels system "${ARG_THREAD}")
    if(ARG_THREAD)
        add_dependencies(thread_tests ${ARG_NAME})
    endif()
    gtest_discover_tests(${ARG_NAME}
        TEST_PREFIX "${ARG_NAME}."
        DISCOVERY_MODE PRE_TEST
        DISCOVERY_TIMEOUT 60
        PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT} ${VORN_TEST_ENVIRONMENT})
endfunction()

# The sandbox's own tests: one from inside, one from outside that checks the
# real system was left alone.
vorn_add_system_test(NAME sandbox_test SOURCES tests/system/sandbox_test.cpp LIBS PkgConfig::SYSTEMD)
add_test(NAME sandbox_check
    COMMAND bash "${PROJECT_SOURCE_DIR}/tests/system/sandbox_check.sh" "${VORN_SANDBOX}")
set_tests_properties(sandbox_check PROPERTIES LABELS system TIMEOUT 120)

# The fault explorer, briefly: three fixed seeds of scripts/chaos, 30 s of
# faults each, then the switch left to settle and checked. Its timing rules
# are set for programs at full speed: it runs in the normal build only.
if(VORN_SANITIZE STREQUAL "")
    add_test(NAME chaos_short
        COMMAND python3 "${PROJECT_SOURCE_DIR}/scripts/chaos" --build "${CMAKE_BINARY_DIR}"
                --seed 1 --seed 3 --seed 6 --seconds 30)
    set_tests_properties(chaos_short PROPERTIES LABELS system TIMEOUT 600)
    # A two-switch tools/fleet over real SSH: a warm restart reboots one switch only.
    add_test(NAME fleet_reboot
        COMMAND /usr/bin/python3 "${PROJECT_SOURCE_DIR}/tests/system/fleet_test.py" --build "${CMAKE_BINARY_DIR}")
    set_tests_properties(fleet_reboot PROPERTIES LABELS system TIMEOUT 120 SKIP_RETURN_CODE 77)
    # The Ansible collection (ansible/) through ansible-playbook against two
    # fleets: a rolling warm restart of four switches, check mode, maintenance
    # twice, the documentation and syntax, and a rollout stopped by a silent
    # module. About a minute.
    add_test(NAME ansible_rollout
        COMMAND bash "${PROJECT_SOURCE_DIR}/tests/ansible/rollout_test.sh" "${CMAKE_BINARY_DIR}")
    set_tests_properties(ansible_rollout PROPERTIES LABELS system TIMEOUT 300 SKIP_RETURN_CODE 77)
    # How the collection reads vornmgrctl's documents, without a switch.
    add_test(NAME ansible_judging
        COMMAND /usr/bin/python3 -m pytest -q -p no:cacheprovider
                "${PROJECT_SOURCE_DIR}/tests/ansible/test_vornmgrctl_judging.py")
    set_tests_properties(ansible_judging PROPERTIES LABELS unit TIMEOUT 60 ENVIRONMENT PYTHONDONTWRITEBYTECODE=1)
endif()
