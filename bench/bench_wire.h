// SPDX-License-Identifier: Apache-2.0
// bench_wire.h - the request packages the benchmark sends (one message each,
// as modules send them) and the replies it expects.
#ifndef VORN_BENCH_WIRE_H
#define VORN_BENCH_WIRE_H

#include "vorn_mgr_intf.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace bench {

// A package small enough for the stack; no request of the benchmark is larger.
struct Package {
    std::array<char, 64> bytes{};
    int len = 0;

    const char *data() const { return bytes.data(); }
    bool equals(const void *other, int other_len) const
    {
        return other_len == len && memcmp(bytes.data(), other, size_t(len)) == 0;
    }
};

inline void put_int(char *at, int32_t value)
{
    memcpy(at, &value, sizeof value);
}

inline int32_t get_int(const void *at)
{
    int32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

// One message of `type` carrying `payload`, in a package of its own.
template <typename Record>
Package make_package(State type, const Record &payload)
{
    static_assert(sizeof(Record) + 12 <= sizeof(Package::bytes));
    Package package;
    package.len = int(12 + sizeof payload);
    put_int(package.bytes.data(), package.len);
    put_int(package.bytes.data() + 4, type);
    put_int(package.bytes.data() + 8, int32_t(8 + sizeof payload));
    memcpy(package.bytes.data() + 12, &payload, sizeof payload);
    return package;
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

inline constexpr int32_t ACK_PACKAGE[3] = {12, ACK, 8};

// The type of a package's first message, or -1 if it has none.
inline int32_t first_type(const void *package, int len)
{
    return len >= 12 ? get_int(static_cast<const char *>(package) + 4) : -1;
}

} // namespace bench

#endif // VORN_BENCH_WIRE_H
