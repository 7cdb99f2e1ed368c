// The library's C calls refuse bad arguments and out-of-order use without
// touching the network.

#include "vorn_mgr_intf.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {
int ignore_cb(int, void *)
{
    return 1;
}
} // namespace

TEST(LibraryArguments, RegistrationRefusesInvalidModulesAndCallbacks)
{
    Module list[1] = {SYSTEM_SERVICES};
    for (int bad : {-1, 10, 11}) {
        errno = 0;
        EXPECT_EQ(vornmgr_register_cb(static_cast<Module>(bad), 1, list, ignore_cb), 0) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
    }
    EXPECT_EQ(vornmgr_register_cb(SYSTEM_SERVICES, 1, list, nullptr), 0);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vornmgr_register_cb(SYSTEM_SERVICES, 2, nullptr, ignore_cb), 0);
    EXPECT_EQ(errno, EINVAL);
}

TEST(LibraryArguments, RequestsBeforeRegistrationFail)
{
    char request[12] = {12, 0, 0, 0, 107, 0, 0, 0, 8, 0, 0, 0};
    char reply[16];
    EXPECT_EQ(vornmgr_send(SYSTEM_SERVICES, sizeof request, request, sizeof reply, reply), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(vornmgr_send(SYSTEM_SERVICES, sizeof request, nullptr, sizeof reply, reply), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vornmgr_send(SYSTEM_SERVICES, 0, request, sizeof reply, reply), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vornmgr_send(SYSTEM_SERVICES, sizeof request, request, 0, reply), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vornmgr_unregister(SYSTEM_SERVICES), 0);
}
