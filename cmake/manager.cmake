# SPDX-License-Identifier: Apache-2.0
# vornmgrd: the manager daemon. Everything but main goes into vornmgr_core so
# that tests link the manager's own code; main stays alone in vorn_mgr.cpp.
add_library(vornmgr_core STATIC
    src/vorn_mgr_access.cpp
    src/vorn_mgr_admin.cpp
    src/vorn_mgr_channels.cpp
    src/vorn_mgr_cli.cpp
    src/vorn_mgr_cli_reboot.cpp
    src/vorn_mgr_cli_report.cpp
    src/vorn_mgr_cli_status_json.cpp
    src/vorn_mgr_discovery.cpp
    src/vorn_mgr_dispatch.cpp
    src/vorn_mgr_history.cpp
    src/vorn_mgr_init_complete.cpp
    src/vorn_mgr_monitor.cpp
    src/vorn_mgr_notify.cpp
    src/vorn_mgr_progress.cpp
    src/vorn_mgr_recovery.cpp
    src/vorn_mgr_registry.cpp
    src/vorn_mgr_run_files.cpp
    src/vorn_mgr_sequence_record.cpp
    src/vorn_mgr_start.cpp
    src/vorn_mgr_startup_mode.cpp
    src/vorn_atomic_file.cpp
    src/vorn_config_line.cpp
    src/vorn_pid_file.cpp
    src/vorn_sock_diag.cpp
    src/vorn_trusted_file.cpp)
target_include_directories(vornmgr_core PUBLIC ${PROJECT_SOURCE_DIR}/src ${CPPZMQ_INCLUDE_DIR})
target_link_libraries(vornmgr_core PUBLIC vorn_intf vorn_log PkgConfig::ZMQ PkgConfig::SYSTEMD Threads::Threads
    nlohmann_json::nlohmann_json)

add_executable(vornmgrd src/vorn_mgr.cpp)
target_link_libraries(vornmgrd PRIVATE vornmgr_core)
install(TARGETS vornmgrd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# Each test program is named after its source; THREAD ones also run in the
# ThreadSanitizer pass.
if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    foreach(test_name IN ITEMS cli_report history notify registry sequence_record startup_mode)
        vorn_add_unit_test(NAME unit_vorn_mgr_${test_name}_test
            SOURCES tests/unit/vorn_mgr_${test_name}_test.cpp LIBS vornmgr_core)
    endforeach()
    foreach(test_name IN ITEMS cli_server dispatch)
        vorn_add_unit_test(NAME unit_vorn_mgr_${test_name}_test THREAD
            SOURCES tests/unit/vorn_mgr_${test_name}_test.cpp LIBS vornmgr_core)
    endforeach()
    # Who owns a socket at the other end of a loopback connection.
    vorn_add_unit_test(NAME unit_vorn_sock_diag_test SOURCES tests/unit/vorn_sock_diag_test.cpp LIBS vornmgr_core)
    # The PID file helper of both daemons.
    vorn_add_unit_test(NAME unit_vorn_pid_file_test SOURCES tests/unit/vorn_pid_file_test.cpp LIBS vornmgr_core)
endif()

if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    vorn_add_system_test(NAME system_vorn_mgr_startup_mode_test
        SOURCES tests/system/vorn_mgr_startup_mode_test.cpp LIBS vornmgr_core DEPENDS vornmgrd)
    foreach(test_name IN ITEMS admin channels cli_operator core entry monitor)
        vorn_add_system_test(NAME system_vorn_mgr_${test_name}_test THREAD
            SOURCES tests/system/vorn_mgr_${test_name}_test.cpp LIBS vornmgr_core DEPENDS vornmgrd)
    endforeach()
endif()
