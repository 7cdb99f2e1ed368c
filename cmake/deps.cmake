# SPDX-License-Identifier: Apache-2.0
# Every external dependency is named here and nowhere else.
# Debian packages: libzmq3-dev cppzmq-dev libsystemd-dev nlohmann-json3-dev libgtest-dev pkg-config
find_package(PkgConfig REQUIRED)
pkg_check_modules(ZMQ REQUIRED IMPORTED_TARGET libzmq)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
find_path(CPPZMQ_INCLUDE_DIR zmq.hpp REQUIRED)
# Header-only: the history records and the JSON status, in the manager and the tool.
find_package(nlohmann_json 3.10 REQUIRED)
find_package(Threads REQUIRED)
if(VORN_BUILD_TESTS)
    find_package(GTest REQUIRED)
endif()
