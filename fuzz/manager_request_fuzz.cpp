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
using vorn_fuzz::first_type;
using vorn_fuzz::message;
using vorn_fuzz::package;
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
        if (!broadcast || first_type(*broadcast) != PRIME)
            return broadcast;
    }
}

void subscribe_to_publish_channel(void)
{
    FUZZ_CHECK(vornmgr_create_pub_channel() == 1, "the manager's publish channel did not open");
    peers.subscriber = make_socket(ZMQ_SUB);
    zmq_setsockopt(peers.subscriber, ZMQ_SUBSCRIBE, "", 0);
    FUZZ_CHECK(zmq_connect(peers.subscriber, VORNMGR_PUB_ENDPOINT) == 0, "connect: %s", zmq_strerror(errno));
    const Bytes prime = package({message(PRIME)});
    for (int attempt = 0; attempt < 200; attempt++) {
        vornmgr_pub_msg(static_cast<int>(prime.size()), prime.data());
        std::optional<Bytes> heard = receive(peers.subscriber, 50);
        if (heard && *heard == prime)
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

// The promise of a request whose first message is `request` and whose payload
// holds a Record naming the requesting module.
template <typename Record, typename ModuleOf>
Promise module_promise(const uint8_t *bytes, const vornmgr_pkg_message_t &request, Reply reply, ModuleOf module_of)
{
    Record record;
    if (!vornmgr_pkg_read_payload(bytes, &request, &record, sizeof record))
        return {};
    const int32_t mod = module_of(record);
    if (static_cast<uint32_t>(mod) >= MAX_MODULES)
        return {};
    return {reply, mod, false};
}

Promise judge(const uint8_t *bytes, size_t size)
{
    if (size > VORNMGR_MAX_PKG_LEN || size < static_cast<size_t>(VORNMGR_PKG_HDR_LEN))
        return {};
    // A total_len beyond the bytes received is refused, not cut to them.
    if (static_cast<size_t>(read_int(bytes)) > size)
        return {};
    const int end = vornmgr_pkg_end(bytes, static_cast<int>(size));
    vornmgr_pkg_message_t request;
    if (vornmgr_pkg_read_message(bytes, VORNMGR_PKG_HDR_LEN, end, &request) != VORNMGR_PKG_MESSAGE)
        return {};
    const auto registration = [](const module_connect_t &record) { return int32_t(record.mod); };
    const auto status = [](const module_status_t &record) { return int32_t(record.mode.mod); };
    const auto keepalive = [](const keepalive_response_t &record) { return int32_t(record.mod_status.mode.mod); };
    const auto holds = [&](size_t record_len) { return request.payload_len >= static_cast<int32_t>(record_len); };
    switch (request.type) {
    case MODULE_REGISTER:
    case MODULE_UNREGISTER:
        return module_promise<module_connect_t>(bytes, request, Reply::ack, registration);
    case LOAD_COMPLETE:
        return module_promise<module_status_t>(bytes, request, Reply::load_complete, status);
    case INIT_COMPLETE:
        return module_promise<module_status_t>(bytes, request, Reply::up, status);
    case KEEP_ALIVE_RESP:
        return module_promise<keepalive_response_t>(bytes, request, Reply::ack, keepalive);
    case MODULE_STATUS_RESP:
        return module_promise<module_status_t>(bytes, request, Reply::ack, status);
    case GO_DOWN:
        if (!holds(sizeof(module_down_status_t)))
            return {};
        return {Reply::ack, -1, false};
    case NETWORK_LAYER_INFO:
        return {Reply::ack, -1, true};
    case ISSU_INFO:
        if (!holds(sizeof(issu_info_t)))
            return {};
        return {Reply::ack, -1, true};
    default:
        return {};
    }
}

void check_well_formed(const Bytes &reply)
{
    FUZZ_CHECK(reply.size() >= 12 && reply.size() <= VORNMGR_MAX_PKG_LEN, "reply of %zu bytes", reply.size());
    const int size = static_cast<int>(reply.size());
    FUZZ_CHECK(read_int(reply.data()) == size, "reply total_len %d, %d bytes sent", read_int(reply.data()), size);
    // Its messages fill it exactly.
    const int end = vornmgr_pkg_end(reply.data(), size);
    int offset = VORNMGR_PKG_HDR_LEN;
    vornmgr_pkg_message_t message;
    vornmgr_pkg_read_t read;
    while ((read = vornmgr_pkg_read_message(reply.data(), offset, end, &message)) == VORNMGR_PKG_MESSAGE)
        offset += message.len;
    FUZZ_CHECK(read != VORNMGR_PKG_MALFORMED, "reply message len %d at %d", message.len, offset);
    FUZZ_CHECK(offset == end, "reply message header cut at %d", offset);
}

// MODE_INFO for the requester, then MOD_LIST: every other module that is up,
// in ascending order.
void check_load_complete_reply(const Bytes &reply, int32_t mod)
{
    Bytes up_list;
    const auto rows = vornmgr_registry_snapshot();
    for (int32_t other = 0; other < MAX_MODULES; other++)
        if (other != mod && rows[other].mod_status.mode.state == UP) {
            const Bytes entry = vorn_fuzz::ints({other});
            up_list.insert(up_list.end(), entry.begin(), entry.end());
        }
    const Bytes expected = package({message(MODE_INFO, {mod, operative_mode.load(), required_state.load()}),
                                    {MOD_LIST, up_list}});
    FUZZ_CHECK(reply == expected, "load-complete reply of %zu bytes for module %d (%zu expected, %zu listed)",
               reply.size(), mod, expected.size(), up_list.size() / 4);
}

void check_request(const uint8_t *request, size_t size)
{
    int sent;
    do
        sent = zmq_send(peers.request, request, size, 0);
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

    const Promise promise = judge(request, size);
    switch (promise.reply) {
    case Reply::nack:
        FUZZ_CHECK(*reply == package({message(NACK)}), "expected NACK, got type %d", first_type(*reply));
        break;
    case Reply::ack:
        FUZZ_CHECK(*reply == package({message(ACK)}), "expected ACK, got type %d", first_type(*reply));
        break;
    case Reply::load_complete:
        check_load_complete_reply(*reply, promise.mod);
        break;
    case Reply::up: {
        const Bytes up =
            package({message(UP, {promise.mod, operative_mode.load(), required_state.load(), NO_ERROR})});
        FUZZ_CHECK(*reply == up, "UP reply for module %d", promise.mod);
        const std::optional<Bytes> broadcast = next_broadcast();
        FUZZ_CHECK(broadcast == up, "the UP reply was not broadcast as sent (%s)",
                   broadcast ? "another package came" : "nothing came");
        // A link-aggregation daemon coming up after layer 3 was announced
        // hears the announcement again.
        if (promise.mod == TRELL && l3_was_announced)
            FUZZ_CHECK(next_broadcast() == package({message(NETWORK_LAYER_INFO)}), "no repeated layer-3 announcement");
        break;
    }
    }
    if (promise.relay) {
        vornmgr_pkg_message_t handled;
        vornmgr_pkg_read_message(request, VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(request, static_cast<int>(size)),
                                 &handled);
        const uint8_t *payload = request + handled.payload_offset;
        const Bytes first = package({{handled.type, Bytes(payload, payload + handled.payload_len)}});
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
