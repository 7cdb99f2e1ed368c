# SPDX-License-Identifier: Apache-2.0
# vornmgrd: the manager daemon. Everything but main goes into vornmgr_core so
# that tests link the manager's own code; main stays alone in vorn_mgr.cpp.
file(GLOB VORNMGR_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/vorn_mgr*.cpp)
# The operator tool's files share the prefix but are not the manager's.
list(FILTER VORNMGR_SOURCES EXCLUDE REGEX "/src/vorn_mgr_cli_client[^/]*\\.cpp$")
list(REMOVE_ITEM VORNMGR_SOURCES ${PROJECT_SOURCE_DIR}/src/vorn_mgr.cpp)
list(APPEND VORNMGR_SOURCES ${PROJECT_SOURCE_DIR}/src/vorn_trusted_file.cpp ${PROJECT_SOURCE_DIR}/src/vorn_atomic_file.cpp)

add_library(vornmgr_core STATIC ${VORNMGR_SOURCES})
target_include_directories(vornmgr_core PUBLIC ${PROJECT_SOURCE_DIR}/src ${CPPZMQ_INCLUDE_DIR})
target_link_libraries(vornmgr_core PUBLIC vorn_intf vorn_log PkgConfig::ZMQ PkgConfig::SYSTEMD Threads::Threads
    nlohmann_json::nlohmann_json)

add_executable(vornmgrd src/vorn_mgr.cpp)
target_link_libraries(vornmgrd PRIVATE vornmgr_core)
install(TARGETS vornmgrd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    file(GLOB VORNMGR_UNIT_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/unit/vorn_mgr_*_test.cpp)
    foreach(test_source IN LISTS VORNMGR_UNIT_TESTS)
        get_filename_component(test_name ${test_source} NAME_WE)
        vorn_add_unit_test(NAME unit_${test_name} SOURCES ${test_source} LIBS vornmgr_core)
    endforeach()
endif()

if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    file(GLOB VORNMGR_SYSTEM_TESTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tests/system/vorn_mgr_*_test.cpp)
    foreach(test_source IN LISTS VORNMGR_SYSTEM_TESTS)
        get_filename_component(test_name ${test_source} NAME_WE)
        vorn_add_system_test(NAME system_${test_name} SOURCES ${test_source} LIBS vornmgr_core DEPENDS vornmgrd)
    endforeach()
endif()
