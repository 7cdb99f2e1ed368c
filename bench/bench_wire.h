// SPDX-License-Identifier: Apache-2.0
// bench_wire.h - the request packages the benchmark sends (one message each,
// as modules send them) and the replies it expects.
#ifndef VORN_BENCH_WIRE_H
#define VORN_BENCH_WIRE_H

#include "vorn_mgr_pkg.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace bench {

// A package small enough for the stack, built with the library's codec; no
// package the benchmark builds is larger.
struct Package {
    static constexpr int capacity = 64;
    std::array<char, capacity> bytes{};
    int len = vornmgr_pkg_init(bytes.data(), capacity);

    // Appends one message of `type` carrying `payload`.
    template <typename Record>
    Package &add(State type, const Record &payload)
    {
        static_assert(VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN + sizeof(Record) <= capacity);
        len = vornmgr_pkg_add(bytes.data(), capacity, type, &payload, int(sizeof payload));
        return *this;
    }
    // Appends one message of `type` with no payload.
    Package &add(State type)
    {
        len = vornmgr_pkg_add(bytes.data(), capacity, type, nullptr, 0);
        return *this;
    }

    const char *data() const { return bytes.data(); }
    bool equals(const void *other, int other_len) const
    {
        return other_len == len && memcmp(bytes.data(), other, size_t(len)) == 0;
    }
};

// One message of `type` carrying `payload`, in a package of its own.
template <typename Record>
Package make_package(State type, const Record &payload)
{
    return Package().add(type, payload);
}

// KEEP_ALIVE_RESP: the manager stores seq and answers ACK; nothing is logged.
inline Package keepalive_answer_package(Module mod, int32_t seq)
{
    const keepalive_response_t answer{seq, {{mod, REBOOT_WARM, UP}, NO_ERROR}};
    return make_package(KEEP_ALIVE_RESP, answer);
}

// MODULE_REGISTER: the manager logs "<module> Register" and answers ACK.
inline Package register_package(Module mod)
{
    return make_package(MODULE_REGISTER, module_connect_t{mod});
}

// NETWORK_LAYER_INFO: answered ACK, then relayed unchanged to every
// subscriber; the payload is never read, so it carries the publish's number.
inline Package nl_info_package(int32_t number)
{
    return make_package(NETWORK_LAYER_INFO, number);
}

inline Package module_status_package(State type, Module mod, Mode mode, State state)
{
    return make_package(type, module_status_t{{mod, mode, state}, NO_ERROR});
}

inline Package go_down_answer_package(Module about, Module from, Mode mode)
{
    return make_package(GO_DOWN, module_down_status_t{about, {from, mode, GO_DOWN}, NO_ERROR});
}

// The manager's ACK: one message without payload.
inline const Package ACK_PACKAGE = Package().add(ACK);

// The first message of the package's `len` bytes, walked as every module
// walks; false if none is whole.
inline bool first_message(const void *package, int len, vornmgr_pkg_message_t *message)
{
    return vornmgr_pkg_read_message(package, VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(package, len), message) ==
           VORNMGR_PKG_MESSAGE;
}

// The type of a package's first message, or -1 if it has none.
inline int32_t first_type(const void *package, int len)
{
    vornmgr_pkg_message_t message;
    return first_message(package, len, &message) ? message.type : -1;
}

// Reads the record of the package's first message; false unless that message
// is of `type` and long enough.
template <typename Record>
bool read_first(const void *package, int len, State type, Record *record)
{
    vornmgr_pkg_message_t message;
    return first_message(package, len, &message) && message.type == type &&
           vornmgr_pkg_read_payload(package, &message, record, int(sizeof *record));
}

} // namespace bench

#endif // VORN_BENCH_WIRE_H
