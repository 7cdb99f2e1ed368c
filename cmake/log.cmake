# SPDX-License-Identifier: Apache-2.0
# The logging and profiling library linked by both daemons. log.cpp holds the
# program's __assert_fail: every program that logs pulls it in with the core.
add_library(vorn_log STATIC
    src/log.cpp
    src/log_backends.cpp
    src/log_file.cpp
    src/log_syslog.cpp
    src/log_program.cpp
    src/itimer.cpp)
target_include_directories(vorn_log PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vorn_log PUBLIC Threads::Threads)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    vorn_add_unit_test(NAME log_core_test THREAD SOURCES tests/unit/log_core_test.cpp LIBS vorn_log)
    vorn_add_unit_test(NAME log_datestamp_test SOURCES tests/unit/log_datestamp_test.cpp LIBS vorn_log)
    vorn_add_unit_test(NAME log_backends_test SOURCES tests/unit/log_backends_test.cpp LIBS vorn_log)
    vorn_add_unit_test(NAME log_syslog_test SOURCES tests/unit/log_syslog_test.cpp LIBS vorn_log)
    vorn_add_unit_test(NAME log_program_test SOURCES tests/unit/log_program_test.cpp LIBS vorn_log)
    vorn_add_unit_test(NAME itimer_test THREAD SOURCES tests/unit/itimer_test.cpp LIBS vorn_log)
    # g++ 12 warns falsely inside <regex> (std::function in the compiled
    # automaton) when sanitizers instrument it; the tests match lines with it.
    foreach(regex_test log_core_test log_backends_test log_program_test itimer_test)
        target_compile_options(${regex_test} PRIVATE -Wno-maybe-uninitialized)
    endforeach()
endif()
