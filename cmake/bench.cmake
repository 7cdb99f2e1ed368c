# SPDX-License-Identifier: Apache-2.0
# vornmgr_bench: the manager's cost against bare ZeroMQ (request round trips,
# take-down and bring-up, broadcast fan-out, start-up, idle cost). Built with
# the tree; the documented run is scripts/bench. ctest runs only a short smoke
# run of it (label "bench"), which checks that it works, not how fast.
if(NOT TARGET vornmgrd OR NOT TARGET vornmgr)
    return()
endif()

add_executable(vornmgr_bench
    bench/vornmgr_bench.cpp
    bench/bench_clock.cpp
    bench/bench_stats.cpp
    bench/bench_process.cpp
    bench/bench_report.cpp
    bench/bench_manager.cpp
    bench/bench_startup.cpp
    bench/bench_rtt.cpp
    bench/bench_fanout.cpp
    bench/bench_admin.cpp
    bench/bench_handover.cpp
    bench/bench_idle.cpp
    bench/bench_echo.cpp
    bench/bench_sequencer.cpp
    bench/bench_module.cpp)
target_include_directories(vornmgr_bench PRIVATE
    ${PROJECT_SOURCE_DIR}/bench ${PROJECT_SOURCE_DIR}/src ${CPPZMQ_INCLUDE_DIR})
# The library-client modules of the run are this program too, linked with
# libvornmgr exactly as a module of the switch is.
target_link_libraries(vornmgr_bench PRIVATE vornmgr PkgConfig::ZMQ Threads::Threads)
target_compile_definitions(vornmgr_bench PRIVATE
    VORN_BENCH_VORNMGRD="$<TARGET_FILE:vornmgrd>"
    VORN_BENCH_BUILD_TYPE="$<CONFIG>"
    VORN_BENCH_SANITIZE="${VORN_SANITIZE}")
add_dependencies(vornmgr_bench vornmgrd)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    vorn_add_unit_test(NAME bench_stats_test SOURCES bench/bench_stats_test.cpp bench/bench_stats.cpp)
    target_include_directories(bench_stats_test PRIVATE ${PROJECT_SOURCE_DIR}/bench)
    vorn_add_unit_test(NAME bench_process_test
        SOURCES bench/bench_process_test.cpp bench/bench_process.cpp bench/bench_clock.cpp)
    target_include_directories(bench_process_test PRIVATE ${PROJECT_SOURCE_DIR}/bench ${PROJECT_SOURCE_DIR}/src)

    # A few hundred requests and a few cycles through the real manager, in a
    # sandbox of its own: every phase must complete with valid answers and
    # leave every figure in the results file.
    add_test(NAME bench_smoke
        COMMAND bash ${PROJECT_SOURCE_DIR}/bench/bench_smoke_test.sh
            ${PROJECT_SOURCE_DIR}/tools/sandbox $<TARGET_FILE:vornmgr_bench> ${CMAKE_CURRENT_BINARY_DIR}/bench-smoke)
    set_tests_properties(bench_smoke PROPERTIES LABELS bench TIMEOUT 300)
endif()
