// SPDX-License-Identifier: Apache-2.0
// vorn_pkg_walk.h - how a module walks the messages of a package from the
// manager: by the package's own total_len, never past the bytes received,
// and no further than a message whose len cannot be.
#ifndef VORN_PKG_WALK_H
#define VORN_PKG_WALK_H

#include "vorn_mgr_intf.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

// One message of a package, lying whole inside the package's valid bytes.
struct vorn_pkg_message {
    int32_t type;
    int32_t len;
    const char *payload;
    int payload_len;
};

// The end of a package's valid bytes: its own total_len, but never past the
// `size` bytes received. A total_len too small to hold even itself (a
// negative one included) leaves no valid bytes.
inline int vorn_pkg_end(const char *package, int size)
{
    if (size < VORNMGR_PKG_HDR_LEN)
        return 0;
    int32_t total_len;
    memcpy(&total_len, package, sizeof total_len);
    if (total_len < VORNMGR_PKG_HDR_LEN)
        return 0;
    return std::min(total_len, size);
}

enum class vorn_pkg_read { message, end, malformed };

// Reads the message at `offset` of the valid bytes up to `end`: `message`
// when a whole one starts there; `end` when no message header fits; and
// `malformed`, with type and len filled in for the caller's complaint, when
// its len is below the header (it would never advance the walk) or runs
// past `end`. Either of the last two ends the walk.
inline vorn_pkg_read vorn_pkg_read_message(const char *package, int offset, int end, vorn_pkg_message *message)
{
    if (offset < VORNMGR_PKG_HDR_LEN || end - offset < VORNMGR_MSG_HDR_LEN)
        return vorn_pkg_read::end;
    memcpy(&message->type, package + offset, sizeof message->type);
    memcpy(&message->len, package + offset + 4, sizeof message->len);
    if (message->len < VORNMGR_MSG_HDR_LEN || message->len > end - offset)
        return vorn_pkg_read::malformed;
    message->payload = package + offset + VORNMGR_MSG_HDR_LEN;
    message->payload_len = message->len - VORNMGR_MSG_HDR_LEN;
    return vorn_pkg_read::message;
}

#endif
