// SPDX-License-Identifier: Apache-2.0
/*
 * vorn_mgr_pkg.h - the package codec of libvornmgr: build a package of one or
 * more messages, walk the messages of a received one, and read a message's
 * payload record with its length checked. Plain C (C11 or C++), compiled into
 * libvornmgr, so that modules in any language share one reading of the wire.
 *
 * The walk never reads past the bytes it is given: the valid bytes of a
 * package end at its own total_len, but never past the size received, and a
 * message whose len is below its 8-byte header or runs past that end makes
 * the package malformed from there on. None of the functions allocates, and
 * all may be called from any thread.
 *
 *     int end = vornmgr_pkg_end(buf, len);
 *     vornmgr_pkg_message_t m;
 *     vornmgr_pkg_read_t r;
 *     int offset = VORNMGR_PKG_HDR_LEN;
 *     while ((r = vornmgr_pkg_read_message(buf, offset, end, &m)) == VORNMGR_PKG_MESSAGE) {
 *         ... m.type, the payload at buf + m.payload_offset ...
 *         offset += m.len;
 *     }
 *     if (r == VORNMGR_PKG_MALFORMED) ... complain about m.type and m.len ...
 */
#ifndef VORN_MGR_PKG_H
#define VORN_MGR_PKG_H

#include "vorn_mgr_intf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What reading at an offset found. */
typedef enum vornmgr_pkg_read_t VORN_ENUM_BASE {
    VORNMGR_PKG_MESSAGE = 0,   /* a whole message starts there */
    VORNMGR_PKG_END = 1,       /* no message header fits: the walk is over */
    VORNMGR_PKG_MALFORMED = 2  /* a len that cannot be: the rest is not trusted */
} vornmgr_pkg_read_t, vornmgr_pkg_read;

/* One message found by vornmgr_pkg_read_message. Offsets count from the start
 * of the package, so that the record is the same for every language. */
typedef struct vornmgr_pkg_message_t {
    int32_t type;           /* a State value */
    int32_t len;            /* the whole message, its 8-byte header included */
    int32_t payload_offset; /* where the payload starts */
    int32_t payload_len;    /* len - 8 */
} vornmgr_pkg_message_t, vornmgr_pkg_message;

/* Makes `package` (capacity bytes) an empty package: total_len 4. Returns 4,
 * or -1 with errno EINVAL when package is NULL or capacity below 4. */
int vornmgr_pkg_init(void *package, int capacity);

/* Appends one message of `type` carrying payload_len bytes of `payload` (NULL
 * when payload_len is 0) after the messages already there, and updates
 * total_len. Returns the new total_len; -1 with errno EMSGSIZE when the
 * message does not fit in capacity (the package is unchanged), EINVAL for
 * bad arguments or a package whose total_len is not between 4 and capacity. */
int vornmgr_pkg_add(void *package, int capacity, int32_t type, const void *payload, int payload_len);

/* The end of the package's valid bytes among the `size` received: its own
 * total_len, but never past size. 0 when size or total_len is below 4. */
int vornmgr_pkg_end(const void *package, int size);

/* Reads the message at `offset` of the valid bytes up to `end` (from
 * vornmgr_pkg_end). MESSAGE fills all of *message; MALFORMED fills only its
 * type and len, for the caller's complaint; END leaves it untouched. */
vornmgr_pkg_read_t vornmgr_pkg_read_message(const void *package, int offset, int end,
                                            vornmgr_pkg_message_t *message);

/* Copies the first record_len bytes of the message's payload into `record`.
 * Returns 1, or 0 (record untouched) when the payload is shorter than
 * record_len or an argument is invalid. Extra payload bytes are ignored. */
int vornmgr_pkg_read_payload(const void *package, const vornmgr_pkg_message_t *message, void *record,
                             int record_len);

#ifdef __cplusplus
}
#endif

VORN_STATIC_ASSERT(sizeof(vornmgr_pkg_read_t) == 4, "vornmgr_pkg_read_t is 32 bits");
VORN_STATIC_ASSERT(sizeof(vornmgr_pkg_message_t) == 16, "vornmgr_pkg_message_t layout");

#endif /* VORN_MGR_PKG_H */
