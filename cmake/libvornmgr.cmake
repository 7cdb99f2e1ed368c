# libvornmgr: the client library every module of the switch links, in C or
# C++, to reach the lifecycle manager. Its C calls are declared in the shared
# interface header lib/vorn_mgr_intf.h. It links ZeroMQ only: modules bring
# their own logging, so the daemons' vorn_log stays out.
add_library(vornmgr SHARED
    src/libvornmgr/vornmgr_api.cpp
    src/libvornmgr/vornmgr_request.cpp
    src/libvornmgr/vornmgr_delivery.cpp
    lib/vorn_mgr_pkg.c)
set_target_properties(vornmgr PROPERTIES
    VERSION 0
    SOVERSION 0
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    # Only the C calls are exported (VORNMGR_EXPORT, and the package
    # codec's vornmgr_pkg_* functions).
    C_VISIBILITY_PRESET hidden
    )
target_include_directories(vornmgr
    PUBLIC ${PROJECT_SOURCE_DIR}/lib
    PRIVATE ${PROJECT_SOURCE_DIR}/src/libvornmgr ${CPPZMQ_INCLUDE_DIR})
# The text functions of the shared interface come whole with the library, so a
# module needs nothing but -lvornmgr.
target_link_libraries(vornmgr PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,vorn_intf>" PkgConfig::ZMQ Threads::Threads)
target_link_options(vornmgr PRIVATE -Wl,--no-undefined)

configure_file(src/libvornmgr/libvornmgr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/libvornmgr.pc @ONLY)

# The example module is built with the tree so that it keeps compiling.
add_executable(vornmgr_example_module examples/example_module.c)
target_link_libraries(vornmgr_example_module PRIVATE vornmgr)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    vorn_add_system_test(NAME libvornmgr_system_test
        SOURCES tests/system/libvornmgr_manager_test.cpp
        LIBS vornmgr)
endif()

# The package codec is part of the library's public interface.
install(FILES lib/vorn_mgr_pkg.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libvornmgr-dev)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    vorn_add_unit_test(NAME vorn_mgr_pkg_test SOURCES tests/unit/vorn_mgr_pkg_test.cpp LIBS vornmgr)
endif()
