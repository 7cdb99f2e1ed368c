# SPDX-License-Identifier: Apache-2.0
# vornmgr-modsim: a simulated module of the switch, built on libvornmgr like a
# real one. The demonstration (scripts/demo) runs one per module; operators
# rehearse a restart with it; tests use it where a real library client is wanted.
add_executable(vornmgr-modsim
    src/vornmgr_modsim.cpp
    src/vornmgr_modsim_events.cpp
    src/vornmgr_modsim_options.cpp)
# libvornmgr alone: the shared header, the text functions and the package
# codec come with it.
target_link_libraries(vornmgr-modsim PRIVATE vornmgr)
install(TARGETS vornmgr-modsim RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    # The simulator against a fake manager (exact bytes) and the real one.
    vorn_add_system_test(NAME modsim_test
        SOURCES tests/system/modsim_test.cpp
        LIBS vorn_intf
        DEPENDS vornmgr-modsim vornmgrd vornmgrctl)
    # The discovery wait of a restarted manager, found by simulators.
    vorn_add_system_test(NAME discovery_test
        SOURCES tests/system/discovery_test.cpp
        LIBS vorn_intf
        DEPENDS vornmgr-modsim vornmgrd)
    # A manager killed in the middle of a sequence and restarted.
    vorn_add_system_test(NAME crash_recovery_test THREAD
        SOURCES tests/system/crash_recovery_test.cpp
        DEPENDS vornmgr-modsim vornmgrd vornmgrctl)
    # Orders of events that must not leave the switch down.
    vorn_add_system_test(NAME never_down_test THREAD
        SOURCES tests/system/never_down_test.cpp
        LIBS nlohmann_json::nlohmann_json
        DEPENDS vornmgr-modsim vornmgrd vornmgrctl)
    # The history of take-downs and bring-ups, and the JSON status.
    vorn_add_system_test(NAME history_test
        SOURCES tests/system/history_test.cpp
        LIBS nlohmann_json::nlohmann_json
        DEPENDS vornmgr-modsim vornmgrd vornmgrctl)
    # vornmgrctl --metrics as the Prometheus parser and the node exporter read
    # it, and the keepalives that tell a module gone.
    vorn_add_system_test(NAME metrics_test
        SOURCES tests/system/metrics_test.cpp
        LIBS nlohmann_json::nlohmann_json
        DEPENDS vornmgr-modsim vornmgrd vornmgrctl)
    target_compile_definitions(metrics_test PRIVATE "VORN_VERSION=\"${PROJECT_VERSION}\"" "VORN_PYTHON3=\"${VORN_PYTHON3}\"")
    # Who may speak on the module port: peers of other users are python3
    # scripts, run by the binding's python3.
    vorn_add_system_test(NAME module_access_test
        SOURCES tests/system/module_access_test.cpp
        LIBS nlohmann_json::nlohmann_json
        DEPENDS vornmgrd vornmgrctl)
    target_compile_definitions(module_access_test PRIVATE "VORN_PYTHON3=\"${VORN_PYTHON3}\"")
    # The demonstration, run whole as scripts/run runs it.
    vorn_add_system_test(NAME demo_test
        SOURCES tests/system/demo_test.cpp
        DEPENDS vornmgr-modsim vornmgrd vornmgrctl brel-system-services
        TIMEOUT 180)
endif()

# What systemd sees of the programs: journal priorities, STATUS=, the
# watchdog, --version.
if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    vorn_add_system_test(NAME systemd_integration_test THREAD
        SOURCES tests/system/systemd_integration_test.cpp
        DEPENDS vornmgrd vornmgrctl vornmgr-modsim brel-system-services)
    target_compile_definitions(systemd_integration_test PRIVATE "VORN_VERSION=\"${PROJECT_VERSION}\"")
endif()
