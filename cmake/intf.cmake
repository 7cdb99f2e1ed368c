# SPDX-License-Identifier: Apache-2.0
# The shared interface: wire records, their text functions and the package
# codec, linked by the manager, the client library, the system-services
# daemon and the tool. The client library takes the whole archive, so the
# codec's vornmgr_pkg_* calls are exported from it and compiled only here.
add_library(vorn_intf STATIC lib/vorn_mgr_intf.cpp lib/vorn_mgr_pkg.c)
target_include_directories(vorn_intf PUBLIC ${PROJECT_SOURCE_DIR}/lib)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    vorn_add_unit_test(NAME intf_test SOURCES tests/unit/intf_test.cpp tests/unit/intf_c_test.c LIBS vorn_intf)
    # Modules build the header with flags of their own: it must pass as strict
    # ISO C and C++, its layout checks included, not only with ours.
    add_test(NAME intf_header_strict_cxx
        COMMAND ${VORN_SANDBOX} ${CMAKE_CXX_COMPILER} -x c++ -std=c++20 -pedantic -Wall -Wextra -Werror
                -fsyntax-only ${PROJECT_SOURCE_DIR}/lib/vorn_mgr_intf.h)
    add_test(NAME intf_header_strict_c
        COMMAND ${VORN_SANDBOX} ${CMAKE_C_COMPILER} -x c -std=c11 -pedantic -Wall -Wextra -Werror
                -fsyntax-only ${PROJECT_SOURCE_DIR}/lib/vorn_mgr_intf.h)
    set_tests_properties(intf_header_strict_cxx intf_header_strict_c PROPERTIES LABELS unit TIMEOUT 60)
endif()
