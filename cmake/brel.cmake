# SPDX-License-Identifier: Apache-2.0
# brel-system-services: the system-services module. It reaches the manager
# only through libvornmgr, which also brings it the shared header's text
# functions and the package codec (one copy of each, the library's), and logs
# through the daemons' logging library.
add_executable(brel-system-services
    src/brel_system_services.cpp
    src/brel_system_services_vorn_mgr.cpp
    src/vorn_pid_file.cpp)
target_link_libraries(brel-system-services PRIVATE vornmgr vorn_log PkgConfig::SYSTEMD)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    vorn_add_system_test(NAME brel_system_services_test THREAD
        SOURCES tests/system/brel_system_services_test.cpp
        LIBS vorn_intf
        DEPENDS brel-system-services)
endif()

# With the real manager and operator tool.
if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    vorn_add_system_test(NAME brel_end_to_end_test THREAD
        SOURCES tests/system/brel_end_to_end_test.cpp
        DEPENDS brel-system-services vornmgrd vornmgrctl)
endif()
