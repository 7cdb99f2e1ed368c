// SPDX-License-Identifier: Apache-2.0
// Fuzz target: module requests through the manager's dispatcher.
//
// An input is the packages of one conversation (fuzz_support.h), handled from
// a fresh registry. Each package is sent by a request socket to a reply socket
// over inproc, received there into a 1024-byte buffer as the comm receive
// thread does (a longer message cut to the buffer, its full length reported),
// and handed to vornmgr_process_message. Relays go out on the manager's own
// publish channel (loopback, inside the sandbox) to a subscriber of ours.
//
// What must hold for every request, whatever its bytes:
// - exactly one reply comes back, and it is a well-formed package, so no
//   module is ever left waiting and the reply socket stays in step;
// - a well-formed request of a known type from a valid module gets the reply
//   the protocol gives it (ACK; MODE_INFO and MOD_LIST; UP), anything else
//   NACK;
// - of accepted NETWORK_LAYER_INFO and ISSU_INFO requests, the handled (first)
//   message is broadcast byte for byte as a package of its own, and nothing
//   else of the package; an init completion's UP reply is broadcast as it was
//   sent.

#include "fuzz_support.h"
#include "vorn_mgr.h"

#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using vorn_fuzz::ints;
using vorn_fuzz::read_int;

// Our own broadcast type, published until the subscriber hears it: a new
// subscription takes a moment to reach the publisher.
constexpr int32_t PRIME = 9998;
// A reply or a relay that takes this long is not coming.
constexpr int wait_ms = 5000;
// Requests beyond this many in one input add time, not coverage.
constexpr int max_requests = 16;

struct Peers {
    void *context = nullptr;
    void *reply = nullptr;    // the manager's comm socket, as the receive thread holds it
    void *request = nullptr;  // the module's
    void *subscriber = nullptr;
} peers;

void *make_socket(int type)
{
    void *socket = zmq_socket(peers.context, type);
    FUZZ_CHECK(socket != nullptr, "zmq_socket: %s", zmq_strerror(errno));
    const int linger = 0;
    zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger);
    return socket;
}

// The next message within the bound. libFuzzer's time-out check interrupts
// waits with SIGALRM now and then, so an interrupted wait goes on.
std::optional<Bytes> receive(void *socket, int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        zmq_pollitem_t item{socket, 0, ZMQ_POLLIN, 0};
        const int ready = zmq_poll(&item, 1, std::max<long>(0, left.count()));
        if (ready > 0)
            break;
        if (ready == 0 || errno != EINTR)
            return std::nullopt;
    }
    zmq_msg_t message;
    zmq_msg_init(&message);
    if (zmq_msg_recv(&message, socket, ZMQ_DONTWAIT) < 0) {
        zmq_msg_close(&message);
        return std::nullopt;
    }
    const auto *data = static_cast<const uint8_t *>(zmq_msg_data(&message));
    Bytes bytes(data, data + zmq_msg_size(&message));
    zmq_msg_close(&message);
    return bytes;
}

// The next broadcast other than our priming marker.
std::optional<Bytes> next_broadcast(void)
{
    for (;;) {
        std::optional<Bytes> broadcast = receive(peers.subscriber, wait_ms);
        if (!broadcast || broadcast->size() < 8 || read_int(broadcast->data() + 4) != PRIME)
            return broadcast;
    }
}

void subscribe_to_publish_channel(void)
{
    FUZZ_CHECK(vornmgr_create_pub_channel() == 1, "the manager's publish channel did not open");
    peers.subscriber = make_socket(ZMQ_SUB);
    zmq_setsockopt(peers.subscriber, ZMQ_SUBSCRIBE, "", 0);
    FUZZ_CHECK(zmq_connect(peers.subscriber, VORNMGR_PUB_ENDPOINT) == 0, "connect: %s", zmq_strerror(errno));
    const int32_t prime[3] = {12, PRIME, 8};
    for (int attempt = 0; attempt < 200; attempt++) {
        vornmgr_pub_msg(sizeof prime, prime);
        std::optional<Bytes> heard = receive(peers.subscriber, 50);
        if (heard && heard->size() == sizeof prime && read_int(heard->data() + 4) == PRIME)
            return;
    }
    FUZZ_CHECK(false, "the subscription to the publish channel never took effect");
}

// Every input starts from a manager that has just started.
void reset_manager(void)
{
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_mods.fill(registered_modules_t{});
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        mod_id_in_process = -1;
        num_go_down_response_required = 0;
        num_go_down_response_recv = 0;
    }
    operative_mode = REBOOT_COLD;
    required_state = UP;
    broadcast_l3_up = false;
}

// What the protocol promises for a request, judged from its bytes alone.
enum class Reply { nack, ack, load_complete, up };
struct Promise {
    Reply reply = Reply::nack;
    int32_t mod = -1;     // the requesting module, where the reply names it
    bool relay = false;   // the first message is broadcast unchanged
};

Promise judge(const uint8_t *package, size_t size)
{
    const int hdr = VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN;
    if (size > VORNMGR_MAX_PKG_LEN || size < static_cast<size_t>(hdr))
        return {};
    const int32_t total_len = read_int(package);
    const int32_t type = read_int(package + 4);
    const int32_t len = read_int(package + 8);
    if (total_len < hdr || static_cast<size_t>(total_len) > size || len < VORNMGR_MSG_HDR_LEN ||
        len > total_len - VORNMGR_PKG_HDR_LEN)
        return {};
    const uint8_t *payload = package + hdr;
    const int32_t payload_len = len - VORNMGR_MSG_HDR_LEN;
    const auto module_at = [&](int offset, int32_t needed, Reply reply) -> Promise {
        if (payload_len < needed)
            return {};
        const int32_t mod = read_int(payload + offset);
        if (static_cast<uint32_t>(mod) >= MAX_MODULES)
            return {};
        return {reply, mod, false};
    };
    switch (type) {
    case MODULE_REGISTER:
    case MODULE_UNREGISTER:
        return module_at(0, sizeof(module_connect_t), Reply::ack);
    case LOAD_COMPLETE:
        return module_at(0, sizeof(module_status_t), Reply::load_complete);
    case INIT_COMPLETE:
        return module_at(0, sizeof(module_status_t), Reply::up);
    case KEEP_ALIVE_RESP:
        return module_at(offsetof(keepalive_response_t, mod_status), sizeof(keepalive_response_t), Reply::ack);
    case MODULE_STATUS_RESP:
        return module_at(0, sizeof(module_status_t), Reply::ack);
    case GO_DOWN:
        if (payload_len < static_cast<int32_t>(sizeof(module_down_status_t)))
            return {};
        return {Reply::ack, -1, false};
    case NETWORK_LAYER_INFO:
        return {Reply::ack, -1, true};
    case ISSU_INFO:
        if (payload_len < static_cast<int32_t>(sizeof(issu_info_t)))
            return {};
        return {Reply::ack, -1, true};
    default:
        return {};
    }
}

void check_well_formed(const Bytes &reply)
{
    FUZZ_CHECK(reply.size() >= 12 && reply.size() <= VORNMGR_MAX_PKG_LEN, "reply of %zu bytes", reply.size());
    FUZZ_CHECK(static_cast<size_t>(read_int(reply.data())) == reply.size(), "reply total_len %d, %zu bytes sent",
               read_int(reply.data()), reply.size());
    size_t offset = 4;
    while (offset < reply.size()) {
        FUZZ_CHECK(reply.size() - offset >= 8, "reply message header cut at %zu", offset);
        const int32_t len = read_int(reply.data() + offset + 4);
        FUZZ_CHECK(len >= 8 && static_cast<size_t>(len) <= reply.size() - offset, "reply message len %d at %zu", len,
                   offset);
        offset += static_cast<size_t>(len);
    }
}

void check_load_complete_reply(const Bytes &reply, int32_t mod)
{
    FUZZ_CHECK(reply.size() >= 32 && (reply.size() - 32) % 4 == 0, "load-complete reply of %zu bytes", reply.size());
    const Bytes mode_info = ints({MODE_INFO, 20, mod, operative_mode.load(), required_state.load()});
    FUZZ_CHECK(memcmp(reply.data() + 4, mode_info.data(), mode_info.size()) == 0, "MODE_INFO for module %d", mod);
    FUZZ_CHECK(read_int(reply.data() + 24) == MOD_LIST, "second message type %d", read_int(reply.data() + 24));
    FUZZ_CHECK(static_cast<size_t>(read_int(reply.data() + 28)) == reply.size() - 24, "MOD_LIST len %d",
               read_int(reply.data() + 28));
    // Every other module that is up, in ascending order.
    Bytes expected_list;
    const auto rows = vornmgr_registry_snapshot();
    for (int32_t other = 0; other < MAX_MODULES; other++)
        if (other != mod && rows[other].mod_status.mode.state == UP) {
            const Bytes entry = ints({other});
            expected_list.insert(expected_list.end(), entry.begin(), entry.end());
        }
    FUZZ_CHECK(Bytes(reply.begin() + 32, reply.end()) == expected_list, "module list of %zu bytes, %zu expected",
               reply.size() - 32, expected_list.size());
}

void check_request(const uint8_t *package, size_t size)
{
    int sent;
    do
        sent = zmq_send(peers.request, package, size, 0);
    while (sent < 0 && errno == EINTR);
    FUZZ_CHECK(sent == static_cast<int>(size), "send: %s", zmq_strerror(errno));
    char buf[VORNMGR_MAX_PKG_LEN];
    int len;
    do
        len = zmq_recv(peers.reply, buf, sizeof buf, 0);
    while (len < 0 && errno == EINTR);
    FUZZ_CHECK(len == static_cast<int>(size), "received %d of %zu bytes", len, size);

    const bool l3_was_announced = broadcast_l3_up;
    vornmgr_process_message(peers.reply, len, buf);

    const std::optional<Bytes> reply = receive(peers.request, wait_ms);
    FUZZ_CHECK(reply.has_value(), "no reply to a request of %zu bytes", size);
    check_well_formed(*reply);

    const Promise promise = judge(package, size);
    switch (promise.reply) {
    case Reply::nack:
        FUZZ_CHECK(*reply == ints({12, NACK, 8}), "expected NACK, got type %d", read_int(reply->data() + 4));
        break;
    case Reply::ack:
        FUZZ_CHECK(*reply == ints({12, ACK, 8}), "expected ACK, got type %d", read_int(reply->data() + 4));
        break;
    case Reply::load_complete:
        check_load_complete_reply(*reply, promise.mod);
        break;
    case Reply::up: {
        const Bytes up = ints({28, UP, 24, promise.mod, operative_mode.load(), required_state.load(), NO_ERROR});
        FUZZ_CHECK(*reply == up, "UP reply for module %d", promise.mod);
        const std::optional<Bytes> broadcast = next_broadcast();
        FUZZ_CHECK(broadcast == up, "the UP reply was not broadcast as sent (%s)",
                   broadcast ? "another package came" : "nothing came");
        // A link-aggregation daemon coming up after layer 3 was announced
        // hears the announcement again.
        if (promise.mod == TRELL && l3_was_announced)
            FUZZ_CHECK(next_broadcast() == ints({12, NETWORK_LAYER_INFO, 8}), "no repeated layer-3 announcement");
        break;
    }
    }
    if (promise.relay) {
        const int32_t msg_len = read_int(package + 8);
        Bytes first = ints({4 + msg_len});
        first.insert(first.end(), package + 4, package + 4 + msg_len);
        const std::optional<Bytes> broadcast = next_broadcast();
        FUZZ_CHECK(broadcast == first, "relay of %zu bytes not broadcast unchanged (%s)", first.size(),
                   broadcast ? "another package came" : "nothing came");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    vorn_fuzz::require_sandbox("manager_request");
    vorn_fuzz::quiet_logs();
    return 0;
}

namespace {

// Opened by the first input, not at initialisation: libFuzzer's fork and
// merge modes initialise a parent that runs no input, and only one process
// can hold the publish port.
void open_peers(void)
{
    peers.context = zmq_ctx_new();
    FUZZ_CHECK(peers.context != nullptr, "zmq_ctx_new: %s", zmq_strerror(errno));
    peers.reply = make_socket(ZMQ_REP);
    FUZZ_CHECK(zmq_bind(peers.reply, "inproc://vorn-fuzz-comm") == 0, "bind: %s", zmq_strerror(errno));
    peers.request = make_socket(ZMQ_REQ);
    FUZZ_CHECK(zmq_connect(peers.request, "inproc://vorn-fuzz-comm") == 0, "connect: %s", zmq_strerror(errno));
    subscribe_to_publish_channel();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (peers.context == nullptr)
        open_peers();
    reset_manager();
    vorn_fuzz::PackageCutter cutter(data, size);
    const uint8_t *package;
    size_t package_size;
    for (int request = 0; request < max_requests && cutter.next(&package, &package_size); request++)
        check_request(package, package_size);
    return 0;
}
