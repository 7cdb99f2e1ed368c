// SPDX-License-Identifier: Apache-2.0
// The history of take-downs and bring-ups: one JSON record per sequence,
// one line each, in the service's state directory, so that what happened
// during a restart survives the reboot it ends with. The file holds the last
// VORNMGR_HISTORY_MAX_RECORDS records. Writing it never delays a sequence
// beyond the write itself and never fails one: a failure is logged.

#include "log.h"
#include "unique_fd.h"
#include "vorn_atomic_file.h"
#include "vorn_mgr_history.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <exception>

using json = nlohmann::ordered_json;

const char *vornmgr_history_dir = VORNMGR_STATE_DIR;
const char *vornmgr_history_path = VORNMGR_HISTORY_FILE;

namespace {

// Operator thread only: requests, take-downs and the reboot's end all run there.
vornmgr_history_requester_t current_requester{};
std::string last_restart_line;
std::array<vornmgr_last_take_down_t, MAX_MODULES> last_take_downs{};

json vornmgr_module_ref(int mod)
{
    return json{{"module", mod_id_to_str(static_cast<Module>(mod))}, {"id", mod}};
}

json vornmgr_position_json(const vornmgr_position_trace_t &position)
{
    json answers = json::array();
    json missing = json::array();
    json failed = json::array();
    for (int mod = 0; mod < MAX_MODULES; mod++) {
        const unsigned bit = 1u << mod;
        if (position.answered & bit) {
            json answer = vornmgr_module_ref(mod);
            answer["delay_us"] = position.delay_us[mod];
            answers.push_back(std::move(answer));
            if (position.failure[mod] != NO_ERROR) {
                json failure = vornmgr_module_ref(mod);
                failure["reason"] = vornmgr_failure_reason_text(position.failure[mod]);
                failure["code"] = position.failure[mod];
                failed.push_back(std::move(failure));
            }
        } else if (position.timed_out && (position.expected & bit)) {
            missing.push_back(mod_id_to_str(static_cast<Module>(mod)));
        }
    }
    json entry = vornmgr_module_ref(position.mod);
    entry["timeout_s"] = position.timeout;
    entry["go_down_ms"] = position.go_down_ms;
    entry["down_ms"] = position.down_ms != 0 ? json(position.down_ms) : json(nullptr);
    entry["waited_us"] = position.waited_us;
    entry["required"] = position.required;
    entry["received"] = position.received;
    entry["timed_out"] = position.timed_out;
    entry["answers"] = std::move(answers);
    entry["missing"] = std::move(missing);
    entry["failed"] = std::move(failed);
    return entry;
}

std::string vornmgr_dump(const json &value)
{
    // A reboot command from the environment may hold any bytes: replace what
    // is not UTF-8 rather than fail.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The whole file, or false with errno set (ENOENT: none yet).
bool vornmgr_read_history(std::string *text)
{
    const unique_fd fd(open(vornmgr_history_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd)
        return false;
    char buf[8192];
    for (;;) {
        const ssize_t got = read(fd.get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text->append(buf, static_cast<size_t>(got));
    }
}

bool vornmgr_append_synced(const std::string &text)
{
    const unique_fd fd(open(vornmgr_history_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd)
        return false;
    if (!vorn_write_all(fd.get(), text.data(), text.size()))
        return false;
    return fsync(fd.get()) == 0;
}

bool vornmgr_replace_history(const std::string &text)
{
    return vorn_write_file_atomically(vornmgr_history_path, text.data(), text.size(), 0600);
}

void vornmgr_note_take_downs(const vornmgr_take_down_trace_t &trace)
{
    for (int k = 0; k < trace.positions; k++) {
        const vornmgr_position_trace_t &position = trace.position[k];
        if (position.open || !vornmgr_is_valid_module(position.mod))
            continue;  // cut short by a stop: no outcome
        const unsigned bit = 1u << position.mod;
        vornmgr_last_take_down_t &last = last_take_downs[position.mod];
        last.reason = position.failure[position.mod];
        last.at_ms = position.go_down_ms;
        last.waited_ms = position.waited_us / 1000;
        last.timed_out = position.timed_out;
        if (!(position.answered & bit))
            last.result = TAKE_DOWN_NO_ANSWER;
        else if (last.reason != NO_ERROR)
            last.result = TAKE_DOWN_FAILED;
        else
            last.result = TAKE_DOWN_DOWN;
    }
}

} // namespace

int64_t vornmgr_wall_ms(void)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string vornmgr_failure_reason_text(int32_t reason)
{
    return reason == BUSY ? "busy" : std::to_string(reason);
}

json vornmgr_mode_json(Mode mode)
{
    static const std::pair<unsigned, const char *> flags[] = {
        {REBOOT_COLD, "cold"},          {REBOOT_FAST, "fast"},       {REBOOT_WARM, "warm"},
        {MAINTENANCE, "maintenance"}, {SYS_UPGRADE, "upgrade"}, {COMP_UPGRADE, "component-upgrade"}};
    json words = json::array();
    for (const auto &[bit, word] : flags)
        if (static_cast<unsigned>(mode) & bit)
            words.push_back(word);
    char text[VORNMGR_TEXT_BUF_LEN];
    return json{{"bits", static_cast<unsigned>(mode)}, {"words", std::move(words)},
                {"text", mode_to_str(mode, text)}};
}

std::string vornmgr_format_history_record(const vornmgr_history_sequence_t &sequence)
{
    json record;
    record["version"] = 1;
    record["kind"] = vornmgr_sequence_kind_name(sequence.kind);
    const unsigned bits = static_cast<unsigned>(sequence.mode);
    record["boot"] = (bits & REBOOT_WARM) ? json("warm")
                     : (bits & REBOOT_FAST) ? json("fast")
                     : (bits & REBOOT_COLD) ? json("cold")
                                            : json(nullptr);
    record["upgrade"] = (bits & SYS_UPGRADE) != 0;
    record["mode"] = vornmgr_mode_json(sequence.mode);
    record["mode_before"] = vornmgr_mode_json(sequence.mode_before);
    record["requested_by"] = sequence.requester.known
                                 ? json{{"uid", static_cast<unsigned>(sequence.requester.uid)},
                                        {"pid", static_cast<int>(sequence.requester.pid)}}
                                 : json(nullptr);
    record["started_ms"] = sequence.started_ms;
    record["duration_ms"] = sequence.duration_ms;
    record["completed"] = sequence.completed;
    record["registered"] = sequence.registered;
    json positions = json::array();
    if (sequence.trace != nullptr)
        for (int k = 0; k < sequence.trace->positions; k++)
            positions.push_back(vornmgr_position_json(sequence.trace->position[k]));
    record["positions"] = std::move(positions);
    record["reboot"] = sequence.reboot_command != nullptr
                           ? json{{"command", sequence.reboot_command}, {"exit_status", nullptr}, {"signal", nullptr}}
                           : json(nullptr);
    return vornmgr_dump(record);
}

std::string vornmgr_add_reboot_end(const std::string &line, int exit_status, int signal)
{
    json record = json::parse(line, nullptr, false);
    if (!record.is_object() || !record.contains("reboot") || !record["reboot"].is_object())
        return "";
    record["reboot"]["exit_status"] = signal == 0 ? json(exit_status) : json(nullptr);
    record["reboot"]["signal"] = signal != 0 ? json(signal) : json(nullptr);
    return vornmgr_dump(record);
}

void vornmgr_history_append(const std::string &line)
{
    // The state directory of the service; made here when the manager runs
    // without one. Only root reads what operators did.
    if (mkdir(vornmgr_history_dir, 0700) != 0 && errno != EEXIST)
        LOG_ERR("cannot make %s: %s\n", vornmgr_history_dir, strerror(errno));
    std::string text;
    if (!vornmgr_read_history(&text) && errno != ENOENT) {
        LOG_ERR("cannot read %s: %s\n", vornmgr_history_path, strerror(errno));
        return;
    }
    int lines = 0;
    for (const char c : text)
        lines += c == '\n';
    // A last line cut short (power lost while writing) stays a line of its
    // own: the new record starts after it.
    const bool cut_short = !text.empty() && text.back() != '\n';
    lines += cut_short;
    bool written;
    if (lines < VORNMGR_HISTORY_MAX_RECORDS) {
        written = vornmgr_append_synced((cut_short ? "\n" : "") + line + "\n");
    } else {
        if (cut_short)
            text += '\n';
        // Keep the newest lines: drop from the front until one fewer than
        // the bound remain, then add the new one.
        size_t from = 0;
        for (int drop = lines - (VORNMGR_HISTORY_MAX_RECORDS - 1); drop > 0; drop--)
            from = text.find('\n', from) + 1;
        written = vornmgr_replace_history(text.substr(from) + line + "\n");
    }
    if (!written)
        LOG_ERR("cannot write %s: %s\n", vornmgr_history_path, strerror(errno));
}

void vornmgr_history_set_requester(vornmgr_history_requester_t requester)
{
    current_requester = requester;
}

vornmgr_history_requester_t vornmgr_history_requester(void)
{
    return current_requester;
}

void vornmgr_history_record(const vornmgr_history_sequence_t &sequence)
{
    // The JSON library allocates, and may throw on exhaustion: the sequence
    // goes on without its record then.
    try {
        const std::string line = vornmgr_format_history_record(sequence);
        vornmgr_history_append(line);
        if (sequence.kind == SEQUENCE_RESTART)
            last_restart_line = line;
        if (sequence.trace != nullptr)
            vornmgr_note_take_downs(*sequence.trace);
    } catch (const std::exception &error) {
        LOG_ERR("cannot record the %s in %s: %s\n", vornmgr_sequence_kind_name(sequence.kind), vornmgr_history_path,
                error.what());
    }
}

void vornmgr_history_note_reboot_end(int exit_status, int signal)
{
    if (last_restart_line.empty())
        return;
    try {
        const std::string updated = vornmgr_add_reboot_end(last_restart_line, exit_status, signal);
        std::string text;
        if (updated.empty() || !vornmgr_read_history(&text)) {
            LOG_ERR("cannot add the reboot's status to %s: %s\n", vornmgr_history_path,
                    updated.empty() ? "unreadable record" : strerror(errno));
            return;
        }
        // The restart's record is the last of its kind; records after it
        // (none, or a recovery's) stay as they are.
        const size_t at = text.rfind(last_restart_line + "\n");
        if (at == std::string::npos || (at != 0 && text[at - 1] != '\n')) {
            LOG_ERR("cannot add the reboot's status to %s: its record is gone\n", vornmgr_history_path);
            return;
        }
        text.replace(at, last_restart_line.size(), updated);
        last_restart_line.clear();
        if (!vornmgr_replace_history(text))
            LOG_ERR("cannot write %s: %s\n", vornmgr_history_path, strerror(errno));
    } catch (const std::exception &error) {
        LOG_ERR("cannot add the reboot's status to %s: %s\n", vornmgr_history_path, error.what());
    }
}

vornmgr_last_take_down_t vornmgr_last_take_down(Module mod)
{
    return vornmgr_is_valid_module(mod) ? last_take_downs[mod] : vornmgr_last_take_down_t{};
}

void vornmgr_history_record_take_down(vornmgr_sequence_kind_t kind, Mode mode, Mode mode_before, int64_t started_ms,
                                      const char *reboot_command)
{
    const vornmgr_take_down_trace_t trace = vornmgr_copy_take_down_trace();
    vornmgr_history_record({kind, mode, mode_before, current_requester, started_ms, vornmgr_wall_ms() - started_ms,
                            trace.registered, !trace.stopped, reboot_command, &trace});
}

vornmgr_history_requester_t vornmgr_history_peer(int conn_fd)
{
    ucred cred{};
    socklen_t cred_len = sizeof cred;
    if (getsockopt(conn_fd, SOL_SOCKET, SO_PEERCRED, &cred, &cred_len) != 0)
        return vornmgr_history_requester_t{};
    return {true, cred.uid, cred.pid};
}
