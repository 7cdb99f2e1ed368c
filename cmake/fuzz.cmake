# SPDX-License-Identifier: Apache-2.0
# Fuzzing (fuzz/): four targets, each a LLVMFuzzerTestOneInput.
#
#   manager_request    module requests through the manager's dispatcher
#   module_broadcast   broadcasts through brel-system-services' callback
#   config_reader      the configuration file, read by the manager and the tool
#   operator_request   operator requests through the manager's operator server
#
# Normal builds (any compiler, any sanitizer): every target's committed corpus
# fuzz/corpus/<target> replays as the unit test fuzz_replay_<target>.
# Fuzz build (scripts/fuzz configures build-fuzz): -DVORN_FUZZ=ON with clang
# and -DVORN_SANITIZE=address makes each target a libFuzzer program
# fuzz_<target>, with all code under test instrumented for coverage and
# checked by AddressSanitizer and UndefinedBehaviorSanitizer.

option(VORN_FUZZ "Build the libFuzzer programs (clang, with VORN_SANITIZE=address)" OFF)

if(NOT TARGET vornmgr_core OR NOT TARGET vornmgrctl_parts OR NOT TARGET vorn_log)
    return()
endif()

set(VORN_FUZZ_TARGETS manager_request module_broadcast config_reader operator_request)

if(VORN_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "VORN_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
    endif()
    if(NOT VORN_SANITIZE STREQUAL "address")
        message(FATAL_ERROR "VORN_FUZZ needs -DVORN_SANITIZE=address")
    endif()
    # Coverage feedback from every object of the build, not only the targets.
    string(APPEND CMAKE_CXX_FLAGS " -fsanitize=fuzzer-no-link")
    string(APPEND CMAKE_C_FLAGS " -fsanitize=fuzzer-no-link")
endif()

add_library(vorn_fuzz_support STATIC fuzz/fuzz_support.cpp)
target_include_directories(vorn_fuzz_support PUBLIC ${PROJECT_SOURCE_DIR}/fuzz)
# Its header lays out packages with the package codec.
target_link_libraries(vorn_fuzz_support PUBLIC vorn_log vorn_intf)

# The operator tool's configuration reader, compiled from its own source with
# the names it shares with the manager prefixed, so that one program can hold
# both readers and compare them.
add_library(vorn_fuzz_tool_config OBJECT src/vorn_mgr_cli_client_config.cpp src/vorn_mgr_cli_client_state.cpp)
target_include_directories(vorn_fuzz_tool_config PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/lib)
target_compile_definitions(vorn_fuzz_tool_config PRIVATE
    vornmgr_get_config_startup_mode=vornmgrctl_get_config_startup_mode
    l3_register_timeout=vornmgrctl_l3_register_timeout
    l3_nl_info_timeout=vornmgrctl_l3_nl_info_timeout)

set(fuzz_manager_request_SOURCES fuzz/manager_request_fuzz.cpp)
set(fuzz_manager_request_LIBS vornmgr_core)
set(fuzz_module_broadcast_SOURCES fuzz/module_broadcast_fuzz.cpp src/brel_system_services_vorn_mgr.cpp)
set(fuzz_module_broadcast_LIBS vorn_intf)
set(fuzz_config_reader_SOURCES fuzz/config_reader_fuzz.cpp $<TARGET_OBJECTS:vorn_fuzz_tool_config>)
set(fuzz_config_reader_LIBS vornmgr_core)
set(fuzz_operator_request_SOURCES fuzz/operator_request_fuzz.cpp)
set(fuzz_operator_request_LIBS vornmgr_core)

# Writes the seed inputs: make_seed_corpus <corpus dir> (scripts/fuzz seeds).
add_executable(vorn_fuzz_make_seed_corpus fuzz/make_seed_corpus.cpp)
target_link_libraries(vorn_fuzz_make_seed_corpus PRIVATE vorn_intf)

foreach(target IN LISTS VORN_FUZZ_TARGETS)
    if(VORN_FUZZ)
        add_executable(fuzz_${target} ${fuzz_${target}_SOURCES})
        target_link_libraries(fuzz_${target} PRIVATE vorn_fuzz_support ${fuzz_${target}_LIBS})
        target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
    elseif(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
        vorn_add_unit_test(NAME fuzz_replay_${target}
            SOURCES fuzz/replay_test.cpp ${fuzz_${target}_SOURCES}
            LIBS vorn_fuzz_support ${fuzz_${target}_LIBS}
            TIMEOUT 120)
        target_compile_definitions(fuzz_replay_${target} PRIVATE
            VORN_FUZZ_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus/${target}")
    endif()
endforeach()

# The other reliability tests (docs/reliability.md): faults injected into the
# running system, and the soak.
if(NOT VORN_FUZZ AND VORN_BUILD_TESTS AND COMMAND vorn_add_system_test AND TARGET vornmgrd
   AND TARGET brel-system-services AND TARGET vornmgrctl AND TARGET vornmgr)
    vorn_add_system_test(NAME fault_injection_test THREAD
        SOURCES tests/system/fault_injection_test.cpp
        LIBS vornmgr
        DEPENDS vornmgrd brel-system-services vornmgrctl
        TIMEOUT 180)
    # 20 s of load by default; VORN_SOAK_SECONDS (scripts/soak) makes it longer.
    vorn_add_system_test(NAME soak_test THREAD
        SOURCES tests/system/soak_test.cpp
        DEPENDS vornmgrd
        TIMEOUT 120)
endif()
