// SPDX-License-Identifier: Apache-2.0
/*
 * vorn_mgr_pkg.c - the package codec (vorn_mgr_pkg.h). Integers are read and
 * written with memcpy: a package is a byte buffer, its records lie at any
 * alignment.
 */
#include "vorn_mgr_pkg.h"

#include <errno.h>
#include <string.h>

/* Exported from libvornmgr whatever visibility the library is built with. */
#define VORNMGR_PKG_EXPORT __attribute__((visibility("default")))

static int32_t vornmgr_pkg_get_int(const char *at)
{
    int32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

static void vornmgr_pkg_put_int(char *at, int32_t value)
{
    memcpy(at, &value, sizeof value);
}

VORNMGR_PKG_EXPORT int vornmgr_pkg_init(void *package, int capacity)
{
    if (package == NULL || capacity < VORNMGR_PKG_HDR_LEN) {
        errno = EINVAL;
        return -1;
    }
    vornmgr_pkg_put_int(package, VORNMGR_PKG_HDR_LEN);
    return VORNMGR_PKG_HDR_LEN;
}

VORNMGR_PKG_EXPORT int vornmgr_pkg_add(void *package, int capacity, int32_t type, const void *payload,
                                       int payload_len)
{
    if (package == NULL || capacity < VORNMGR_PKG_HDR_LEN || payload_len < 0 ||
        (payload == NULL && payload_len > 0)) {
        errno = EINVAL;
        return -1;
    }
    char *bytes = package;
    const int32_t total_len = vornmgr_pkg_get_int(bytes);
    if (total_len < VORNMGR_PKG_HDR_LEN || total_len > capacity) {
        errno = EINVAL;
        return -1;
    }
    /* Compared as subtractions, so that no sum can overflow. */
    if (payload_len > capacity - total_len - VORNMGR_MSG_HDR_LEN) {
        errno = EMSGSIZE;
        return -1;
    }
    const int32_t msg_len = VORNMGR_MSG_HDR_LEN + payload_len;
    vornmgr_pkg_put_int(bytes + total_len, type);
    vornmgr_pkg_put_int(bytes + total_len + 4, msg_len);
    if (payload_len > 0)
        memcpy(bytes + total_len + VORNMGR_MSG_HDR_LEN, payload, (size_t)payload_len);
    vornmgr_pkg_put_int(bytes, total_len + msg_len);
    return total_len + msg_len;
}

VORNMGR_PKG_EXPORT int vornmgr_pkg_end(const void *package, int size)
{
    if (package == NULL || size < VORNMGR_PKG_HDR_LEN)
        return 0;
    const int32_t total_len = vornmgr_pkg_get_int(package);
    if (total_len < VORNMGR_PKG_HDR_LEN)
        return 0;
    return total_len < size ? total_len : size;
}

VORNMGR_PKG_EXPORT vornmgr_pkg_read_t vornmgr_pkg_read_message(const void *package, int offset, int end,
                                                               vornmgr_pkg_message_t *message)
{
    if (package == NULL || message == NULL || offset < VORNMGR_PKG_HDR_LEN || offset > end ||
        end - offset < VORNMGR_MSG_HDR_LEN)
        return VORNMGR_PKG_END;
    const char *bytes = package;
    message->type = vornmgr_pkg_get_int(bytes + offset);
    message->len = vornmgr_pkg_get_int(bytes + offset + 4);
    if (message->len < VORNMGR_MSG_HDR_LEN || message->len > end - offset)
        return VORNMGR_PKG_MALFORMED;
    message->payload_offset = offset + VORNMGR_MSG_HDR_LEN;
    message->payload_len = message->len - VORNMGR_MSG_HDR_LEN;
    return VORNMGR_PKG_MESSAGE;
}

VORNMGR_PKG_EXPORT int vornmgr_pkg_read_payload(const void *package, const vornmgr_pkg_message_t *message,
                                                void *record, int record_len)
{
    if (package == NULL || message == NULL || record == NULL || record_len < 0 ||
        message->payload_offset < VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN ||
        message->payload_len < record_len)
        return 0;
    memcpy(record, (const char *)package + message->payload_offset, (size_t)record_len);
    return 1;
}
