# SPDX-License-Identifier: Apache-2.0
# The shared interface: wire records, their text functions and the package
# codec, linked by the manager, the client library, the system-services
# daemon and the tool. The client library takes the whole archive, so the
# codec's vornmgr_pkg_* calls are exported from it and compiled only here.
add_library(vorn_intf STATIC lib/vorn_mgr_intf.cpp lib/vorn_mgr_pkg.c)
target_include_directories(vorn_intf PUBLIC ${PROJECT_SOURCE_DIR}/lib)

if(VORN_BUILD_TESTS AND COMMAND vorn_add_unit_test)
    vorn_add_unit_test(NAME intf_test SOURCES tests/unit/intf_test.cpp tests/unit/intf_c_test.c LIBS vorn_intf)
endif()
