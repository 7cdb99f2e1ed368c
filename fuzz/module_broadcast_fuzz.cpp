// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the system-services module's handling of whatever the manager
// broadcasts (brel_system_services_vornmgr_cb), with the start-up handshake
// that a COME_UP sets off.
//
// An input is a broadcast package followed by the replies the manager gives,
// in order, to the requests the module sends while handling it (cut as
// fuzz_support.h says). The client library's vornmgr_send is this program's
// own: it checks each request and answers with the next reply of the input,
// an ACK once they run out; a piece shorter than 4 bytes stands for a request
// that failed (-1, ETIMEDOUT), a reply longer than the module's buffer fails
// as the library fails it (-1, EMSGSIZE). The shell is this program's too: the
// upgrade scripts are recorded, not run.
//
// What must hold, whatever the bytes:
// - every request is one well-formed package of the module's own identity, of
//   the size its type has, with the 1024-byte reply buffer;
// - every whole GO_DOWN message is answered exactly once, naming the module
//   being taken down, this module as the sender, the broadcast's state and no
//   failure; a state save for it has ended before that answer is sent;
// - every KEEP_ALIVE_REQ is answered with its seq, every MODULE_STATUS_REQ
//   with a status, every COME_UP with LOAD_COMPLETE and, if that went out,
//   INIT_COMPLETE; every ISSU_INFO runs the restore script once;
// - nothing else is sent, and nothing is read outside the package.

#include "brel_system_services.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

// The module's variables live beside its main, which this program replaces.
Module my_mod_id = SYSTEM_SERVICES;
std::atomic<Mode> my_mode{REBOOT_COLD};
std::atomic<State> my_state{UP};
module_mode_t mod_mode{};
std::mutex mod_mode_lock;
std::atomic<bool> time_to_quit{false};
std::atomic<int> caught_signal{0};

namespace {

using Bytes = std::vector<uint8_t>;
using vorn_fuzz::read_int;

constexpr const char *SAVE_SCRIPT = "/bin/sh /usr/lib/norvane/vessik.sh";
constexpr const char *RESTORE_SCRIPT = "/bin/sh /usr/lib/norvane/lorrin.sh";

// What the module did while handling one broadcast, in order.
struct Event {
    enum Kind { request, script } kind;
    Bytes bytes;          // the request package
    bool failed = false;  // vornmgr_send returned -1
    std::string command;  // the script's command line
};

struct Conversation {
    std::vector<Event> events;
    vorn_fuzz::PackageCutter *replies = nullptr;
} conversation;

// The int32 at `index` of a request's payload (check_request_shape made sure
// the request is one whole message holding its type's record).
int32_t field(const Bytes &request, int index)
{
    vornmgr_pkg_message_t message{};
    vornmgr_pkg_read_message(request.data(), VORNMGR_PKG_HDR_LEN,
                             vornmgr_pkg_end(request.data(), static_cast<int>(request.size())), &message);
    int32_t fields[8] = {};
    vornmgr_pkg_read_payload(request.data(), &message, fields, static_cast<int>(sizeof(int32_t)) * (index + 1));
    return fields[index];
}

void check_request_shape(Module module, int req_len, const void *req, int reply_cap)
{
    FUZZ_CHECK(module == SYSTEM_SERVICES, "request sent as module %d", int(module));
    FUZZ_CHECK(reply_cap == VORNMGR_MAX_PKG_LEN, "reply capacity %d", reply_cap);
    FUZZ_CHECK(req_len >= 12 && req_len <= VORNMGR_MAX_PKG_LEN, "request of %d bytes", req_len);
    const auto *bytes = static_cast<const uint8_t *>(req);
    FUZZ_CHECK(read_int(bytes) == req_len, "request total_len %d, %d bytes sent", read_int(bytes), req_len);
    vornmgr_pkg_message_t message{};
    FUZZ_CHECK(vornmgr_pkg_read_message(bytes, VORNMGR_PKG_HDR_LEN, req_len, &message) == VORNMGR_PKG_MESSAGE &&
                   message.len == req_len - VORNMGR_PKG_HDR_LEN,
               "request holds more than one message (len %d of %d)", message.len, req_len);
    int32_t expected_len;
    switch (message.type) {
    case GO_DOWN:
    case KEEP_ALIVE_RESP:
        expected_len = 32;
        break;
    case MODULE_STATUS_RESP:
    case LOAD_COMPLETE:
    case INIT_COMPLETE:
        expected_len = 28;
        break;
    default:
        FUZZ_CHECK(false, "request of type %d", message.type);
        return;
    }
    FUZZ_CHECK(req_len == expected_len, "request type %d of %d bytes", message.type, req_len);
}

// A message of the broadcast as the protocol walks it: by the package's own
// total_len, never past the bytes delivered, ending at a len that cannot be.
struct Message {
    int32_t type;
    const uint8_t *payload;
    int32_t payload_len;
};

std::vector<Message> walk(const uint8_t *package, size_t size)
{
    std::vector<Message> messages;
    const int end = vornmgr_pkg_end(package, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
    vornmgr_pkg_message_t message;
    for (int offset = VORNMGR_PKG_HDR_LEN;
         vornmgr_pkg_read_message(package, offset, end, &message) == VORNMGR_PKG_MESSAGE; offset += message.len)
        messages.push_back({message.type, package + message.payload_offset, message.payload_len});
    return messages;
}

// Takes the next recorded event, which must be a request of `type`.
const Event &expect_request(size_t *next, int32_t type, const char *why)
{
    const std::vector<Event> &events = conversation.events;
    FUZZ_CHECK(*next < events.size() && events[*next].kind == Event::request, "missing %s request (%s)",
               mod_state_to_str(static_cast<State>(type)), why);
    const Event &event = events[(*next)++];
    FUZZ_CHECK(vorn_fuzz::first_type(event.bytes) == type, "%s: request type %d where %s was due", why,
               vorn_fuzz::first_type(event.bytes), mod_state_to_str(static_cast<State>(type)));
    return event;
}

void check_conversation(const uint8_t *broadcast, size_t size)
{
    size_t next = 0;
    const std::vector<Event> &events = conversation.events;
    for (const Message &message : walk(broadcast, size)) {
        switch (message.type) {
        case GO_DOWN: {
            if (message.payload_len < static_cast<int32_t>(sizeof(module_mode_t)))
                break;
            const int32_t named = read_int(message.payload);
            if (next < events.size() && events[next].kind == Event::script) {
                FUZZ_CHECK(events[next].command == SAVE_SCRIPT && named == SYSTEM_SERVICES,
                           "script %s before the answer to GO_DOWN for %d", events[next].command.c_str(), named);
                next++;
            }
            const Event &answer = expect_request(&next, GO_DOWN, "GO_DOWN");
            FUZZ_CHECK(field(answer.bytes, 0) == named && field(answer.bytes, 1) == SYSTEM_SERVICES &&
                           field(answer.bytes, 3) == read_int(message.payload + 8) && field(answer.bytes, 4) == NO_ERROR,
                       "GO_DOWN answer {%d, %d, _, %d, %d} for module %d", field(answer.bytes, 0),
                       field(answer.bytes, 1), field(answer.bytes, 3), field(answer.bytes, 4), named);
            break;
        }
        case COME_UP: {
            if (message.payload_len < static_cast<int32_t>(sizeof(module_mode_t)))
                break;
            const Event &load = expect_request(&next, LOAD_COMPLETE, "COME_UP");
            FUZZ_CHECK(field(load.bytes, 0) == SYSTEM_SERVICES && field(load.bytes, 2) == LOAD_COMPLETE,
                       "LOAD_COMPLETE {%d, _, %d}", field(load.bytes, 0), field(load.bytes, 2));
            if (load.failed)
                break;
            const Event &init = expect_request(&next, INIT_COMPLETE, "COME_UP");
            FUZZ_CHECK(field(init.bytes, 0) == SYSTEM_SERVICES && field(init.bytes, 2) == INIT_COMPLETE,
                       "INIT_COMPLETE {%d, _, %d}", field(init.bytes, 0), field(init.bytes, 2));
            break;
        }
        case KEEP_ALIVE_REQ: {
            if (message.payload_len < static_cast<int32_t>(sizeof(keepalive_request_t)))
                break;
            const Event &answer = expect_request(&next, KEEP_ALIVE_RESP, "KEEP_ALIVE_REQ");
            FUZZ_CHECK(field(answer.bytes, 0) == read_int(message.payload) && field(answer.bytes, 1) == SYSTEM_SERVICES,
                       "keepalive answer seq %d module %d for seq %d", field(answer.bytes, 0), field(answer.bytes, 1),
                       read_int(message.payload));
            break;
        }
        case MODULE_STATUS_REQ: {
            const Event &answer = expect_request(&next, MODULE_STATUS_RESP, "MODULE_STATUS_REQ");
            FUZZ_CHECK(field(answer.bytes, 0) == SYSTEM_SERVICES, "status answer of module %d", field(answer.bytes, 0));
            break;
        }
        case ISSU_INFO:
            if (message.payload_len < static_cast<int32_t>(sizeof(issu_info_t)))
                break;
            FUZZ_CHECK(next < events.size() && events[next].kind == Event::script &&
                           events[next].command == RESTORE_SCRIPT,
                       "ISSU_INFO without the restore script");
            next++;
            break;
        default:
            break;
        }
    }
    FUZZ_CHECK(next == events.size(), "%zu unexpected event(s), the first a %s", events.size() - next,
               events[next].kind == Event::script ? events[next].command.c_str() : "request");
}

} // namespace

// The client library, as this program plays it.
extern "C" int vornmgr_send(Module module, int req_len, void *req, int reply_cap, void *reply)
{
    check_request_shape(module, req_len, req, reply_cap);
    const auto *bytes = static_cast<const uint8_t *>(req);
    Event event{Event::request, Bytes(bytes, bytes + req_len), false, {}};

    const uint8_t *answer;
    size_t answer_size;
    int result;
    if (!conversation.replies->next(&answer, &answer_size)) {
        vornmgr_pkg_init(reply, reply_cap);
        result = vornmgr_pkg_add(reply, reply_cap, ACK, nullptr, 0);
    } else if (answer_size < 4) {
        errno = ETIMEDOUT;
        result = -1;
    } else if (answer_size > static_cast<size_t>(reply_cap)) {
        errno = EMSGSIZE;
        result = -1;
    } else {
        memcpy(reply, answer, answer_size);
        result = static_cast<int>(answer_size);
    }
    event.failed = result < 0;
    conversation.events.push_back(std::move(event));
    return result;
}

namespace {

// The shell while the callback runs: the scripts are noted, never run.
int record_script(const char *command)
{
    if (command == nullptr)
        return 1;
    conversation.events.push_back({Event::script, {}, false, command});
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    vorn_fuzz::quiet_logs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    vorn_fuzz::PackageCutter cutter(data, size);
    const uint8_t *broadcast;
    size_t broadcast_size;
    if (!cutter.next(&broadcast, &broadcast_size))
        return 0;
    // The library lends the package for the call: a copy of exactly its size,
    // so that a read past it is caught.
    Bytes package(broadcast, broadcast + broadcast_size);

    my_mode = REBOOT_COLD;
    my_state = UP;
    {
        std::lock_guard guard(mod_mode_lock);
        mod_mode = {};
    }
    conversation.events.clear();
    conversation.replies = &cutter;

    {
        const vorn_fuzz::ShellCapture shell(record_script);
        FUZZ_CHECK(brel_system_services_vornmgr_cb(static_cast<int>(package.size()), package.data()) == 1,
                   "the callback must return 1");
    }
    check_conversation(broadcast, broadcast_size);
    conversation.replies = nullptr;
    return 0;
}
