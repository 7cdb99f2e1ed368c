// SPDX-License-Identifier: Apache-2.0
// Fuzz target: an operator request through the manager's operator server
// (vornmgr_process_cli), answered on a socket pair.
//
// An input is the 4-byte request followed by the state the manager is in when
// it arrives, so the status report meets every mode and module state a module
// can report over the wire:
//   bytes 0-3    the request code
//   bytes 4-7    operative_mode
//   byte  8      bit 0: an upgrade was reported; bit 1: the ports are shut
//   byte  9      bit k: module k + 2 is registered
//   bytes 10-13  seconds since maintenance was entered (0: never)
//   then 16 bytes for each module from frr to System Services: its mode, its
//   state, its number of starts and the seconds since it registered (0: never)
// Missing bytes are zero. Times lie within what a clock can show; a module
// that registered in the future stands for a clock set back. Take-downs find
// no registered module (nobody would answer them here); restarts reach a
// shell of this program's that notes the command.
//
// What must hold, whatever the bytes:
// - the answer is zero or more SHOW_IN_PROGRESS records (for SHOW only), each
//   at most 1023 bytes of printable text lines, then exactly one 8-byte
//   RESP_OVER, and nothing after it;
// - a report is the mode line, then either " No Actively Registered Modules"
//   or one line per registered module;
// - a restart runs the reboot command exactly once, after RESP_OVER went out;
//   nothing else ever runs a command.

#include "fuzz_support.h"
#include "vorn_mgr_cli_server.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using vorn_fuzz::read_int;

int manager_end = -1;  // the connection as the operator thread holds it
int tool_end = -1;

struct Command {
    std::string line;
    int answered_bytes;  // what the tool could already read when it ran
};
std::vector<Command> commands;

// The state part of an input, read with zeros past its end.
class StateBytes {
public:
    StateBytes(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    uint8_t byte(size_t at) const { return at < size_ ? data_[at] : 0; }
    int32_t int32(size_t at) const
    {
        uint8_t raw[4] = {byte(at), byte(at + 1), byte(at + 2), byte(at + 3)};
        return read_int(raw);
    }

private:
    const uint8_t *data_;
    size_t size_;
};

void set_manager_state(const StateBytes &state, time_t now, int32_t request)
{
    operative_mode = static_cast<Mode>(state.int32(4));
    upgraded = (state.byte(8) & 1) != 0;
    if (state.byte(8) & 2)
        close(open(VORNMGR_PORTS_MARKER, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    else
        unlink(VORNMGR_PORTS_MARKER);
    const uint32_t maintenance_age = static_cast<uint32_t>(state.int32(10));
    maintenance_start_time = maintenance_age == 0 ? 0 : now - maintenance_age;

    // A take-down would wait for answers that no module gives here.
    const vornmgr_cli_action_kind_t kind = vornmgr_plan_cli(request, operative_mode, upgraded).kind;
    const bool takes_down = kind == CLI_ACTION_RESTART || kind == CLI_ACTION_MAINT_ENTER;

    std::lock_guard<std::mutex> guard(registry_lock);
    registered_mods.fill(registered_modules_t{});
    for (int mod = FRR; mod <= SYSTEM_SERVICES; mod++) {
        const size_t at = 14 + 16 * static_cast<size_t>(mod - FRR);
        registered_modules_t &row = registered_mods[mod];
        const bool registered = !takes_down && (state.byte(9) & (1u << (mod - FRR))) != 0;
        row.mod_status.mode.mod = registered ? static_cast<Module>(mod) : VORNMGR;
        row.mod_status.mode.mode = static_cast<Mode>(state.int32(at));
        row.mod_status.mode.state = static_cast<State>(state.int32(at + 4));
        row.num_starts = state.int32(at + 8) & INT_MAX;
        const int32_t age = state.int32(at + 12);
        row.start_time = age == 0 ? 0 : now - age;
    }
}

Bytes drain_answer(void)
{
    Bytes answer;
    uint8_t buf[4096];
    for (;;) {
        const ssize_t got = recv(tool_end, buf, sizeof buf, MSG_DONTWAIT);
        if (got <= 0)
            break;
        answer.insert(answer.end(), buf, buf + got);
    }
    return answer;
}

int registered_count(void)
{
    const auto rows = vornmgr_registry_snapshot();
    int count = 0;
    for (int mod = FRR; mod <= SYSTEM_SERVICES; mod++)
        count += rows[mod].mod_status.mode.mod == mod;
    return count;
}

void check_text(const std::string &text, bool first)
{
    FUZZ_CHECK(!text.empty() && text.back() == '\n', "record text does not end a line");
    for (unsigned char c : text)
        FUZZ_CHECK(c == '\n' || (c >= 0x20 && c < 0x7f), "record text byte 0x%02x", c);
    if (first)
        FUZZ_CHECK(text.rfind(" Current System Mode: ", 0) == 0, "report starts with '%.40s'", text.c_str());
    else
        FUZZ_CHECK(text.find('\n') == text.size() - 1, "module record of more than one line");
}

void check_answer(const Bytes &answer, int32_t request, int registered)
{
    std::vector<std::string> texts;
    size_t offset = 0;
    bool over = false;
    while (offset < answer.size()) {
        FUZZ_CHECK(!over, "%zu bytes after RESP_OVER", answer.size() - offset);
        FUZZ_CHECK(answer.size() - offset >= 8, "record header cut at %zu", offset);
        const int32_t status = read_int(answer.data() + offset);
        const int32_t len = read_int(answer.data() + offset + 4);
        if (status == RESP_OVER) {
            FUZZ_CHECK(len == 8, "RESP_OVER of len %d", len);
            over = true;
        } else {
            FUZZ_CHECK(status == SHOW_IN_PROGRESS && (request == SHOW || request == SHOW_JSON),
                       "record status %d to request %d", status, request);
            FUZZ_CHECK(len >= 8 && len <= VORNMGR_CLI_BUF_LEN - 1, "record len %d", len);
            FUZZ_CHECK(answer.size() - offset >= static_cast<size_t>(len), "record of len %d cut", len);
            texts.emplace_back(reinterpret_cast<const char *>(answer.data() + offset + 8), len - 8);
            // A JSON document is cut into records anywhere: it is judged whole.
            if (request == SHOW)
                check_text(texts.back(), texts.size() == 1);
        }
        offset += static_cast<size_t>(len);
    }
    FUZZ_CHECK(over, "no RESP_OVER to request %d", request);
    if (request == SHOW_JSON) {
        std::string document;
        for (const std::string &text : texts)
            document += text;
        const nlohmann::json status = nlohmann::json::parse(document, nullptr, false);
        FUZZ_CHECK(status.is_object() && status["modules"].is_array() &&
                       status["modules"].size() == static_cast<size_t>(registered),
                   "JSON status '%.80s' for %d modules", document.c_str(), registered);
        return;
    }
    if (request != SHOW)
        return;
    if (registered == 0) {
        FUZZ_CHECK(texts.size() == 1, "%zu records without modules", texts.size());
        const std::string tail = " No Actively Registered Modules\n";
        FUZZ_CHECK(texts[0].size() > tail.size() && texts[0].compare(texts[0].size() - tail.size(), tail.size(), tail) == 0,
                   "short report '%s'", texts[0].c_str());
    } else {
        FUZZ_CHECK(texts.size() == 1 + static_cast<size_t>(registered), "%zu records for %d modules", texts.size(),
                   registered);
    }
}

// The shell while the request is handled: commands are noted, never run.
int record_command(const char *command)
{
    if (command == nullptr)
        return 1;
    int readable = 0;
    ioctl(tool_end, FIONREAD, &readable);
    commands.push_back({command, readable});
    return 0;
}

// The reboot command of a restart, noted the same way. Its "process" is this
// one, which never ends while the input runs: a reboot that is taking the
// machine down.
pid_t record_reboot(const char *command, int * /*error*/)
{
    record_command(command);
    return getpid();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    vorn_fuzz::require_sandbox("operator_request");
    vorn_fuzz::quiet_logs();
    // Broadcasts of a bring-up go nowhere: there is no publish channel here.
    zmq_socket_restart_on_error = false;
    vornmgr_reboot_spawner = record_reboot;
    int ends[2];
    FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0, "socketpair: %s", strerror(errno));
    manager_end = ends[0];
    tool_end = ends[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const StateBytes state(data, size);
    const int32_t request = state.int32(0);
    const time_t now = time(nullptr);
    set_manager_state(state, now, request);
    const vornmgr_cli_action_t plan = vornmgr_plan_cli(request, operative_mode, upgraded);
    const int registered = registered_count();
    commands.clear();

    // The operator thread reads the request into a buffer of this size.
    char buffer[VORNMGR_CLI_BUF_LEN] = {};
    memcpy(buffer, data, std::min(size, sizeof buffer));
    {
        const vorn_fuzz::ShellCapture shell(record_command);
        FUZZ_CHECK(vornmgr_process_cli(manager_end, static_cast<int>(std::min<size_t>(size, 4)), buffer) == 1,
                   "vornmgr_process_cli returns 1");
    }
    const Bytes answer = drain_answer();
    check_answer(answer, request, registered);

    if (plan.kind == CLI_ACTION_RESTART) {
        FUZZ_CHECK(commands.size() == 1 && commands[0].line == plan.reboot_command, "restart ran %zu command(s)",
                   commands.size());
        FUZZ_CHECK(commands[0].answered_bytes == static_cast<int>(answer.size()),
                   "reboot started with %d of %zu answer bytes out", commands[0].answered_bytes, answer.size());
        FUZZ_CHECK(operative_mode.load() == plan.reason, "mode 0x%x after a restart to 0x%x",
                   static_cast<unsigned>(operative_mode.load()), static_cast<unsigned>(plan.reason));
    } else {
        FUZZ_CHECK(commands.empty(), "request %d ran '%s'", request, commands[0].line.c_str());
    }
    if (plan.kind == CLI_ACTION_UPGRADE)
        FUZZ_CHECK(upgraded, "upgrade not remembered");
    return 0;
}
