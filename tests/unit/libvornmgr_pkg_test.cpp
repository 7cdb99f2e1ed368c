// SPDX-License-Identifier: Apache-2.0
// The package codec of libvornmgr (vorn_mgr_pkg.h): the bytes it builds, the
// three outcomes of its walk, and the bounds it never reads past.

#include "vorn_mgr_pkg.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<int32_t> ints_of(const char *bytes, int size)
{
    std::vector<int32_t> values(static_cast<size_t>(size) / 4);
    memcpy(values.data(), bytes, values.size() * 4);
    return values;
}

// The walk's outcomes over a whole buffer, with the types of the messages found.
std::vector<int32_t> walk(const void *package, int size, vornmgr_pkg_read_t *last)
{
    std::vector<int32_t> types;
    const int end = vornmgr_pkg_end(package, size);
    vornmgr_pkg_message_t message{};
    for (int offset = VORNMGR_PKG_HDR_LEN;; offset += message.len) {
        *last = vornmgr_pkg_read_message(package, offset, end, &message);
        if (*last != VORNMGR_PKG_MESSAGE)
            return types;
        types.push_back(message.type);
    }
}

} // namespace

TEST(PackageBuild, AppendsMessagesBackToBackAndKeepsTotalLen)
{
    char package[64];
    ASSERT_EQ(vornmgr_pkg_init(package, sizeof package), 4);
    EXPECT_EQ(vornmgr_pkg_add(package, sizeof package, ACK, nullptr, 0), 12);
    const module_mode_t info{STP, REBOOT_WARM, UP};
    EXPECT_EQ(vornmgr_pkg_add(package, sizeof package, MODE_INFO, &info, sizeof info), 32);
    EXPECT_EQ(ints_of(package, 32), (std::vector<int32_t>{32, ACK, 8, MODE_INFO, 20, STP, REBOOT_WARM, UP}));
}

TEST(PackageBuild, RefusesWhatDoesNotFitAndLeavesThePackageAlone)
{
    char package[24];
    vornmgr_pkg_init(package, sizeof package);
    const module_mode_t info{STP, REBOOT_WARM, UP};
    ASSERT_EQ(vornmgr_pkg_add(package, sizeof package, GO_DOWN, &info, sizeof info), 24);
    errno = 0;
    EXPECT_EQ(vornmgr_pkg_add(package, sizeof package, ACK, nullptr, 0), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(ints_of(package, 4), std::vector<int32_t>{24});
    // A total_len the capacity cannot hold is not appended after.
    const int32_t wrong = 100;
    memcpy(package, &wrong, 4);
    errno = 0;
    EXPECT_EQ(vornmgr_pkg_add(package, sizeof package, ACK, nullptr, 0), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(PackageWalk, FindsEveryMessageThenTheEnd)
{
    char package[64];
    vornmgr_pkg_init(package, sizeof package);
    const module_mode_t info{STP, REBOOT_WARM, UP};
    const Module up[] = {FRR, BGP};
    vornmgr_pkg_add(package, sizeof package, MODE_INFO, &info, sizeof info);
    vornmgr_pkg_add(package, sizeof package, MOD_LIST, up, sizeof up);
    vornmgr_pkg_read_t last;
    // Bytes beyond total_len are not the package's.
    EXPECT_EQ(walk(package, sizeof package, &last), (std::vector<int32_t>{MODE_INFO, MOD_LIST}));
    EXPECT_EQ(last, VORNMGR_PKG_END);
}

TEST(PackageWalk, StopsAtWhatWasReceivedAndAtALenThatCannotBe)
{
    char package[64];
    vornmgr_pkg_init(package, sizeof package);
    vornmgr_pkg_add(package, sizeof package, ACK, nullptr, 0);
    const module_mode_t info{STP, REBOOT_WARM, UP};
    vornmgr_pkg_add(package, sizeof package, MODE_INFO, &info, sizeof info);
    vornmgr_pkg_read_t last;
    // Fewer bytes received than total_len claims: the second message runs past them.
    EXPECT_EQ(walk(package, 24, &last), std::vector<int32_t>{ACK});
    EXPECT_EQ(last, VORNMGR_PKG_MALFORMED);
    // Not even its header received: the walk is simply over.
    EXPECT_EQ(walk(package, 16, &last), std::vector<int32_t>{ACK});
    EXPECT_EQ(last, VORNMGR_PKG_END);

    // A len below the header would never advance.
    const int32_t short_len = 7;
    memcpy(package + 16, &short_len, 4);
    vornmgr_pkg_message_t message{};
    EXPECT_EQ(walk(package, sizeof package, &last), std::vector<int32_t>{ACK});
    EXPECT_EQ(last, VORNMGR_PKG_MALFORMED);
    EXPECT_EQ(vornmgr_pkg_read_message(package, 12, 32, &message), VORNMGR_PKG_MALFORMED);
    EXPECT_EQ(message.type, MODE_INFO);
    EXPECT_EQ(message.len, 7);

    // A total_len that cannot hold itself leaves no valid bytes.
    const int32_t negative = INT32_MIN;
    memcpy(package, &negative, 4);
    EXPECT_EQ(vornmgr_pkg_end(package, 20), 0);
    EXPECT_TRUE(walk(package, 20, &last).empty());
    EXPECT_EQ(last, VORNMGR_PKG_END);
}

TEST(PackagePayload, CopiesARecordOnlyWhenThePayloadHoldsIt)
{
    char package[64];
    vornmgr_pkg_init(package, sizeof package);
    const keepalive_request_t keepalive{7};
    vornmgr_pkg_add(package, sizeof package, KEEP_ALIVE_REQ, &keepalive, sizeof keepalive);
    vornmgr_pkg_message_t message{};
    ASSERT_EQ(vornmgr_pkg_read_message(package, 4, vornmgr_pkg_end(package, 16), &message), VORNMGR_PKG_MESSAGE);

    keepalive_request_t read{0};
    EXPECT_EQ(vornmgr_pkg_read_payload(package, &message, &read, sizeof read), 1);
    EXPECT_EQ(read.seq, 7);
    module_mode_t too_big{MAX_MODULES, UNKNOWN_MODE, SUCCESS};
    EXPECT_EQ(vornmgr_pkg_read_payload(package, &message, &too_big, sizeof too_big), 0);
    EXPECT_EQ(too_big.mod, MAX_MODULES);
}
