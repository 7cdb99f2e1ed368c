# SPDX-License-Identifier: Apache-2.0
# libvornmgr: the client library every module of the switch links, in C or
# C++, to reach the lifecycle manager. Its C calls are declared in the shared
# interface header lib/vorn_mgr_intf.h. It links ZeroMQ only: modules bring
# their own logging, so the daemons' vorn_log stays out.
add_library(vornmgr SHARED
    src/libvornmgr/vornmgr_api.cpp
    src/libvornmgr/vornmgr_request.cpp
    src/libvornmgr/vornmgr_delivery.cpp
    src/libvornmgr/vornmgr_peer.cpp
    # Whose is the other end of a connection: kept internal by the hidden
    # visibility and the version script.
    src/vorn_sock_diag.cpp)
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
# The text functions and the package codec of the shared interface come whole
# with the library, so a module needs nothing but -lvornmgr.
target_link_libraries(vornmgr PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,vorn_intf>" PkgConfig::ZMQ Threads::Threads)
# The version script keeps every symbol but the C interface local, so that
# the library's ABI (and its Debian symbols file) is the C interface alone.
set(VORN_LIBVORNMGR_MAP ${PROJECT_SOURCE_DIR}/src/libvornmgr/libvornmgr.map)
target_link_options(vornmgr PRIVATE -Wl,--no-undefined -Wl,--version-script=${VORN_LIBVORNMGR_MAP})
set_property(TARGET vornmgr APPEND PROPERTY LINK_DEPENDS ${VORN_LIBVORNMGR_MAP})

configure_file(src/libvornmgr/libvornmgr.pc.in ${CMAKE_CURRENT_BINARY_DIR}/libvornmgr.pc @ONLY)

# The example module is built with the tree so that it keeps compiling.
add_executable(vornmgr_example_module examples/example_module.c)
target_link_libraries(vornmgr_example_module PRIVATE vornmgr)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    vorn_add_system_test(NAME libvornmgr_system_test THREAD
        SOURCES tests/system/libvornmgr_manager_test.cpp
        LIBS vornmgr)
    # Modules against a squatter on the manager's ports, run as nobody.
    vorn_add_system_test(NAME manager_identity_test
        SOURCES tests/system/manager_identity_test.cpp
        LIBS vorn_intf
        DEPENDS vornmgr-modsim vornmgrd)
endif()

# The package codec is part of the library's public interface.
install(FILES lib/vorn_mgr_pkg.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libvornmgr-dev)

# The Python binding (python/vornmgr, over libvornmgr through ctypes), its
# manual page and examples. Debian's python3 finds it in dist-packages, with
# the dist-info written from python/pyproject.toml so that
# importlib.metadata knows it; py.typed marks it typed.
install(DIRECTORY python/vornmgr DESTINATION lib/python3/dist-packages
        COMPONENT python3-vornmgr FILES_MATCHING PATTERN "*.py" PATTERN "py.typed")
find_package(Python3 3.11 REQUIRED COMPONENTS Interpreter)
set(VORN_PYTHON_DIST_INFO ${CMAKE_CURRENT_BINARY_DIR}/python/vornmgr-${PROJECT_VERSION}.dist-info)
add_custom_command(OUTPUT ${VORN_PYTHON_DIST_INFO}/METADATA
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/python/make_dist_info.py
            ${CMAKE_CURRENT_BINARY_DIR}/python ${PROJECT_VERSION}
    DEPENDS python/make_dist_info.py python/pyproject.toml python/vornmgr/__init__.py
    COMMENT "Writing the Python binding's dist-info" VERBATIM)
add_custom_target(vornmgr_python_dist_info ALL DEPENDS ${VORN_PYTHON_DIST_INFO}/METADATA)
install(DIRECTORY ${VORN_PYTHON_DIST_INFO} DESTINATION lib/python3/dist-packages COMPONENT python3-vornmgr)
install(FILES man/vornmgr-python.7 DESTINATION ${CMAKE_INSTALL_MANDIR}/man7 COMPONENT python3-vornmgr)
install(FILES examples/example_module.py examples/asyncio_module.py
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/python3-vornmgr/examples COMPONENT python3-vornmgr)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    vorn_add_unit_test(NAME libvornmgr_pkg_test SOURCES tests/unit/libvornmgr_pkg_test.cpp LIBS vornmgr)
endif()

# The binding's tests: pytest in a sandbox, against the real manager and a
# fake one. Debian's python3 runs them, with its python3-pytest and
# python3-zmq (the fake manager); the layout program prints the C header's
# sizes and offsets for them to compare.
set(VORN_PYTHON3 /usr/bin/python3 CACHE FILEPATH "The python3 that runs the binding's tests")
if(VORN_BUILD_TESTS AND COMMAND vorn_add_system_test)
    add_executable(vornmgr_python_layout tests/python/layout.c)
    target_include_directories(vornmgr_python_layout PRIVATE ${PROJECT_SOURCE_DIR}/lib)
    set(python_environment
        PYTHONPATH=${PROJECT_SOURCE_DIR}/python
        PYTHONDONTWRITEBYTECODE=1
        LD_LIBRARY_PATH=$<TARGET_FILE_DIR:vornmgr>
        VORN_LAYOUT=$<TARGET_FILE:vornmgr_python_layout>
        VORNMGRD=$<TARGET_FILE:vornmgrd>
        VORNMGRCTL=$<TARGET_FILE:vornmgrctl>)
    if(VORN_SANITIZE STREQUAL "address")
        # An instrumented library loads into an uninstrumented interpreter
        # only behind the sanitizer's runtime; the interpreter's own
        # allocations at exit are not ours to report.
        execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=libasan.so
                        OUTPUT_VARIABLE asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
        list(APPEND python_environment LD_PRELOAD=${asan_runtime} ASAN_OPTIONS=detect_leaks=0)
    endif()
    add_test(NAME libvornmgr_python_test
        COMMAND ${VORN_SANDBOX} env ${python_environment}
                ${VORN_PYTHON3} -m pytest -q -p no:cacheprovider ${PROJECT_SOURCE_DIR}/tests/python)
    set_tests_properties(libvornmgr_python_test PROPERTIES LABELS system TIMEOUT 120)
endif()
