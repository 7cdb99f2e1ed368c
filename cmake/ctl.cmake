# SPDX-License-Identifier: Apache-2.0
# vornmgrctl, the operator's tool. Its parts are a library so that the unit
# tests can call them; the program adds only the order of work.
add_library(vornmgrctl_parts STATIC
    src/vorn_mgr_cli_client_state.cpp
    src/vorn_mgr_cli_client_config.cpp
    src/vorn_mgr_cli_client_cmdline.cpp
    src/vorn_mgr_cli_client_restart.cpp
    src/vorn_mgr_cli_client_upgrade.cpp
    src/vorn_mgr_cli_client_markers.cpp
    src/vorn_mgr_cli_client_history.cpp
    src/vorn_mgr_cli_client_outcome.cpp
    src/vorn_mgr_cli_client_metrics.cpp
    src/vorn_config_line.cpp
    src/vorn_trusted_file.cpp
    src/vorn_atomic_file.cpp)
target_include_directories(vornmgrctl_parts PUBLIC ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(vornmgrctl_parts PUBLIC vorn_intf nlohmann_json::nlohmann_json)

add_executable(vornmgrctl src/vorn_mgr_cli_client.cpp)
target_link_libraries(vornmgrctl PRIVATE vornmgrctl_parts)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    vorn_add_unit_test(NAME vornmgrctl_config_test
        SOURCES tests/unit/vornmgrctl_config_test.cpp
        LIBS vornmgrctl_parts)
    vorn_add_unit_test(NAME vornmgrctl_history_test
        SOURCES tests/unit/vornmgrctl_history_test.cpp
        LIBS vornmgrctl_parts)
    vorn_add_unit_test(NAME vornmgrctl_metrics_test
        SOURCES tests/unit/vornmgrctl_metrics_test.cpp
        LIBS vornmgrctl_parts)
endif()

if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    vorn_add_system_test(NAME vornmgrctl_tool_test
        SOURCES tests/system/vornmgrctl_tool_test.cpp
        DEPENDS vornmgrctl)
    # Against the real manager, when it is part of the build.
    if(TARGET vornmgrd)
        vorn_add_system_test(NAME vornmgrctl_end_to_end_test THREAD
            SOURCES tests/system/vornmgrctl_end_to_end_test.cpp
            DEPENDS vornmgrctl vornmgrd)
        vorn_add_system_test(NAME planted_files_test
            SOURCES tests/system/planted_files_test.cpp
            DEPENDS vornmgrctl vornmgrd)
    endif()
endif()
