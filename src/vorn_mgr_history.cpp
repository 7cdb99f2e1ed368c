// SPDX-License-Identifier: Apache-2.0
// The history of take-downs and bring-ups: one JSON record per sequence,
// one line each, in the service's state directory, so that what happened
// during a restart survives the reboot it ends with. The file holds the last
// VORNMGR_HISTORY_MAX_RECORDS records, in at most VORNMGR_HISTORY_MAX_BYTES
// bytes. Writing it never delays a sequence beyond the write itself and never
// fails one: a failure is logged.

#include "log.h"
#include "unique_fd.h"
#include "vorn_atomic_file.h"
#include "vorn_mgr_history.h"
#include "vorn_trusted_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string_view>
#include <utility>

using json = nlohmann::ordered_json;

const char *vornmgr_history_dir = VORNMGR_STATE_DIR;
const char *vornmgr_history_path = VORNMGR_HISTORY_FILE;

namespace {

// Operator thread only: requests, take-downs and the reboot's end all run there.
vornmgr_history_requester_t current_requester{};
std::string last_restart_line;
std::array<vornmgr_last_take_down_t, MAX_MODULES> last_take_downs{};

// The file as the manager last left it. While the file at the path is still
// that one (same inode, size and change time), the next record is appended
// without reading the whole file again to count and judge its lines: only
// what the manager itself appended has been added since it was judged.
struct vornmgr_history_shape_t {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec ctime{};
    int lines = 0;
};
vornmgr_history_shape_t history_shape;

// While an operator's request is served, a record is written before the
// answer and synced after it: the tool reads it from the page cache at once,
// and the answer does not wait for the disk. The file written and not yet
// synced; the next record, the reboot command and the end of the request
// sync it first. A record that finds the file at its bound of records is
// appended all the same, and the file loses its oldest line after the
// answer: a full history's rewrite, with its own syncs, is housekeeping the
// answer need not wait for.
bool sync_deferred = false;
unique_fd unsynced_history;

// Syncs `fd` now, or keeps it for vornmgr_history_sync while syncing is
// deferred; false (errno set) when the sync failed.
bool vornmgr_sync_or_defer(unique_fd fd)
{
    if (sync_deferred) {
        unsynced_history = std::move(fd);
        return true;
    }
    return fsync(fd.get()) == 0;
}

bool vornmgr_is_known_shape(const struct stat &st)
{
    return history_shape.known && st.st_dev == history_shape.dev &&
           st.st_ino == history_shape.ino && st.st_size == history_shape.size &&
           st.st_ctim.tv_sec == history_shape.ctime.tv_sec && st.st_ctim.tv_nsec == history_shape.ctime.tv_nsec;
}

// Remembers the history file of status `st` as holding `lines` whole lines.
void vornmgr_note_shape(const struct stat &st, int lines)
{
    history_shape.known = true;
    history_shape.dev = st.st_dev;
    history_shape.ino = st.st_ino;
    history_shape.size = st.st_size;
    history_shape.ctime = st.st_ctim;
    history_shape.lines = lines;
}

// An object whose fields are added in order with vornmgr_add: no
// initializer lists, no search for a field already there (each name is added
// once), room for `fields` made at once. A take-down's record has some eighty
// such objects, built before the request is answered.
json vornmgr_object(size_t fields)
{
    json object(json::value_t::object);
    object.get_ref<json::object_t &>().reserve(fields);
    return object;
}

template <typename T> void vornmgr_add(json &object, const char *name, T &&value)
{
    object.get_ref<json::object_t &>().emplace_back(name, std::forward<T>(value));
}

json vornmgr_module_ref(int mod, size_t more_fields)
{
    json ref = vornmgr_object(2 + more_fields);
    vornmgr_add(ref, "module", mod_id_to_str(static_cast<Module>(mod)));
    vornmgr_add(ref, "id", mod);
    return ref;
}

json vornmgr_position_json(const vornmgr_position_trace_t &position)
{
    json answers(json::value_t::array);
    json missing(json::value_t::array);
    json failed(json::value_t::array);
    answers.get_ref<json::array_t &>().reserve(MAX_MODULES);
    for (int mod = 0; mod < MAX_MODULES; mod++) {
        const unsigned bit = 1u << mod;
        if (position.answered & bit) {
            json &answer = answers.get_ref<json::array_t &>().emplace_back(vornmgr_module_ref(mod, 1));
            vornmgr_add(answer, "delay_us", position.delay_us[mod]);
            if (position.failure[mod] != NO_ERROR) {
                json &failure = failed.get_ref<json::array_t &>().emplace_back(vornmgr_module_ref(mod, 2));
                vornmgr_add(failure, "reason", vornmgr_failure_reason_text(position.failure[mod]));
                vornmgr_add(failure, "code", position.failure[mod]);
            }
        } else if (position.timed_out && (position.expected & bit)) {
            missing.push_back(mod_id_to_str(static_cast<Module>(mod)));
        }
    }
    json entry = vornmgr_module_ref(position.mod, 10);
    vornmgr_add(entry, "timeout_s", position.timeout);
    vornmgr_add(entry, "go_down_ms", position.go_down_ms);
    vornmgr_add(entry, "down_ms", position.down_ms != 0 ? json(position.down_ms) : json(nullptr));
    vornmgr_add(entry, "waited_us", position.waited_us);
    vornmgr_add(entry, "required", position.required);
    vornmgr_add(entry, "received", position.received);
    vornmgr_add(entry, "timed_out", position.timed_out);
    vornmgr_add(entry, "answers", std::move(answers));
    vornmgr_add(entry, "missing", std::move(missing));
    vornmgr_add(entry, "failed", std::move(failed));
    return entry;
}

std::string vornmgr_dump(const json &value)
{
    // A reboot command from the environment may hold any bytes: replace what
    // is not UTF-8 rather than fail.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The file is always reached through the state directory's descriptor, so
// that the directory checked is the one written, and only under the rule of
// the other state files: root's, and nobody else's to change.
const char *vornmgr_history_name(void)
{
    const char *slash = strrchr(vornmgr_history_path, '/');
    return slash != nullptr ? slash + 1 : vornmgr_history_path;
}

// The state directory, made here when the manager runs without one; no
// descriptor (logged, errno set) when it cannot be used.
unique_fd vornmgr_open_history_dir(void)
{
    // Only root reads what operators did.
    if (mkdir(vornmgr_history_dir, 0700) != 0 && errno != EEXIST)
        LOG_ERR("cannot make %s: %s\n", vornmgr_history_dir, strerror(errno));
    vorn_trusted_file_t dir = vorn_open_trusted_dir(vornmgr_history_dir);
    if (dir.distrust != nullptr) {
        // Another user could have planted records there, or could read
        // what operators did: nothing is written, nothing believed.
        LOG_ERR("untrusted directory %s ignored (%s)\n", vornmgr_history_dir, dir.distrust);
        errno = EPERM;
    } else if (!dir.fd) {
        LOG_ERR("cannot open %s: %s\n", vornmgr_history_dir, strerror(errno));
    }
    return std::move(dir.fd);
}

// What was found at the history's path.
enum vornmgr_history_found_t {
    HISTORY_READ,        // the text is the whole file
    HISTORY_NONE,        // no file yet
    HISTORY_DAMAGED,     // to be set aside; the reason is given, errno EPERM or EFBIG
    HISTORY_UNREADABLE,  // errno says why
};

// Reads the file in `dir_fd`, never more than the bound into memory and
// never waiting on what is not a regular file.
vornmgr_history_found_t vornmgr_load_history(int dir_fd, std::string *text, std::string *damage)
{
    text->clear();
    const vorn_trusted_file_t file = vorn_open_trusted_file_at(dir_fd, vornmgr_history_name(), O_RDONLY);
    if (file.distrust != nullptr) {
        *damage = file.distrust;
        errno = EPERM;
        return HISTORY_DAMAGED;
    }
    if (!file.fd)
        return errno == ENOENT ? HISTORY_NONE : HISTORY_UNREADABLE;
    if (vorn_read_bounded(file.fd.get(), VORNMGR_HISTORY_MAX_BYTES, text))
        return HISTORY_READ;
    if (errno != EFBIG)
        return HISTORY_UNREADABLE;
    text->clear();
    *damage = "larger than " + std::to_string(VORNMGR_HISTORY_MAX_BYTES) + " bytes";
    errno = EFBIG;
    return HISTORY_DAMAGED;
}

// True when most lines are not records: what is there is no longer a
// history, and appending to it would only hide the new records among it.
// A few damaged lines (a write cut short by a power loss) stay: the readers
// skip them and they age out with the oldest records.
bool vornmgr_history_mostly_damaged(const std::string &text)
{
    int records = 0;
    int damaged = 0;
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        if (end > from) {
            // Judged by its shape, not parsed: this runs before every record
            // the manager appends, and the reader (vornmgrctl) parses and
            // skips what is damaged anyway.
            const std::string_view line(text.data() + from, end - from);
            const bool usable = line.front() == '{' && line.back() == '}' &&
                                line.find("\"kind\":") != std::string_view::npos &&
                                line.find("\"positions\":") != std::string_view::npos;
            (usable ? records : damaged)++;
        }
        from = end + 1;
    }
    return damaged > records;
}

// Moves the file to <name>.damaged beside it, replacing an older one, so
// that a fresh file takes the next record and what was there can still be
// looked at.
bool vornmgr_set_history_aside(int dir_fd, const std::string &why)
{
    const std::string aside = std::string(vornmgr_history_name()) + ".damaged";
    if (renameat(dir_fd, vornmgr_history_name(), dir_fd, aside.c_str()) != 0) {
        LOG_ERR("cannot set %s aside (%s): %s\n", vornmgr_history_path, why.c_str(), strerror(errno));
        return false;
    }
    LOG_ERR("history file %s set aside as %s.damaged (%s)\n", vornmgr_history_path, vornmgr_history_path,
            why.c_str());
    fsync(dir_fd);
    return true;
}

// The newest lines of `text` that stay within both bounds; a last line
// without its newline counts as a line.
std::string vornmgr_keep_newest(const std::string &text, int max_lines, size_t max_bytes)
{
    int lines = 0;
    for (const char c : text)
        lines += c == '\n';
    lines += !text.empty() && text.back() != '\n';
    size_t from = 0;
    while (from < text.size() && (lines > max_lines || text.size() - from > max_bytes)) {
        const size_t end = text.find('\n', from);
        from = end == std::string::npos ? text.size() : end + 1;
        lines--;
    }
    return text.substr(from);
}

// The whole file, or false with errno set (ENOENT: none yet; EPERM: not
// trusted; EFBIG: over the bound).
bool vornmgr_read_history(std::string *text)
{
    const unique_fd dir = vornmgr_open_history_dir();
    if (!dir)
        return false;
    std::string damage;
    switch (vornmgr_load_history(dir.get(), text, &damage)) {
    case HISTORY_READ:
        return true;
    case HISTORY_NONE:
        errno = ENOENT;
        return false;
    case HISTORY_DAMAGED:
    case HISTORY_UNREADABLE:
        break;
    }
    return false;
}

// Writes `text` to the open history file, which it ends with its
// `lines`-th line, and syncs it (or has it synced after the answer); false
// (errno set) on failure, the file then judged again by the next record.
bool vornmgr_write_synced(unique_fd fd, const std::string &text, int lines)
{
    history_shape.known = false;
    if (!vorn_write_all(fd.get(), text.data(), text.size()))
        return false;
    struct stat st {};
    if (fstat(fd.get(), &st) == 0)
        vornmgr_note_shape(st, lines);
    return vornmgr_sync_or_defer(std::move(fd));
}

// Appends `text`, which ends the file with its `lines`-th line.
bool vornmgr_append_synced(int dir_fd, const std::string &text, int lines)
{
    vorn_trusted_file_t file =
        vorn_open_trusted_file_at(dir_fd, vornmgr_history_name(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (file.distrust != nullptr)
        errno = EPERM;
    if (!file.fd) {
        history_shape.known = false;
        return false;
    }
    return vornmgr_write_synced(std::move(file.fd), text, lines);
}

// The history file opened with `flags`, if it is still the file the manager
// last left (its status in *st); else none.
unique_fd vornmgr_open_known(int dir_fd, int flags, struct stat *st)
{
    if (!history_shape.known)
        return unique_fd();
    vorn_trusted_file_t file = vorn_open_trusted_file_at(dir_fd, vornmgr_history_name(), flags);
    if (!file.fd || fstat(file.fd.get(), st) != 0 || !vornmgr_is_known_shape(*st))
        return unique_fd();
    return std::move(file.fd);
}

// Appends `line` to the file the manager last left, if it is still that file
// and the record fits both bounds (only that of bytes while the sync waits);
// false when the whole file must be read (nothing was written then).
bool vornmgr_append_to_known(int dir_fd, const std::string &line)
{
    // Past the bound of records only while the sync waits for the answer:
    // the sync drops the oldest lines then. Never past the bound of bytes,
    // which the readers hold to.
    if ((history_shape.lines >= VORNMGR_HISTORY_MAX_RECORDS && !sync_deferred) ||
        static_cast<size_t>(history_shape.size) + line.size() + 1 > VORNMGR_HISTORY_MAX_BYTES)
        return false;
    struct stat st {};
    unique_fd file = vornmgr_open_known(dir_fd, O_WRONLY | O_APPEND, &st);
    if (!file)
        return false;
    // One write of the line and its newline, from a buffer kept for it.
    static std::string added;
    added.assign(line).push_back('\n');
    if (!vornmgr_write_synced(std::move(file), added, history_shape.lines + 1))
        LOG_ERR("cannot write %s: %s\n", vornmgr_history_path, strerror(errno));
    return true;
}

// Remembers the file just put in place, which holds `lines` whole lines.
void vornmgr_note_replaced(int dir_fd, int lines)
{
    struct stat st {};
    if (fstatat(dir_fd, vornmgr_history_name(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        vornmgr_note_shape(st, lines);
}

// For the file the manager last left, at either bound: rewrites it without
// its oldest lines, the rest copied in the kernel, and `line` after them
// (nothing when null), without reading it whole and judging it again.
// HISTORY_MUST_READ when the file must be read after all (nothing was
// written then).
enum vornmgr_history_rewrite_t { HISTORY_REWRITTEN, HISTORY_REWRITE_FAILED, HISTORY_MUST_READ };

vornmgr_history_rewrite_t vornmgr_drop_oldest_of_known(int dir_fd, const std::string *line)
{
    struct stat st {};
    const unique_fd file = vornmgr_open_known(dir_fd, O_RDONLY, &st);
    if (!file)
        return HISTORY_MUST_READ;
    // The first byte to keep: as many of the oldest lines go as both bounds
    // need, found by reading from the start only that far.
    const size_t size = static_cast<size_t>(st.st_size);
    const int new_lines = line != nullptr ? 1 : 0;
    const size_t added = line != nullptr ? line->size() + 1 : 0;
    int lines = history_shape.lines;
    size_t cut = 0;
    const auto over = [&] {
        return lines + new_lines > VORNMGR_HISTORY_MAX_RECORDS || size - cut + added > VORNMGR_HISTORY_MAX_BYTES;
    };
    char buf[8192];
    for (size_t read_at = 0; over(); ) {
        if (read_at >= size)
            return HISTORY_MUST_READ;
        const ssize_t got = pread(file.get(), buf, std::min(sizeof buf, size - read_at), static_cast<off_t>(read_at));
        if (got <= 0)
            return HISTORY_MUST_READ;
        const char *at = buf;
        const char *const end = buf + got;
        while (over()) {
            const void *newline = memchr(at, '\n', static_cast<size_t>(end - at));
            if (newline == nullptr)
                break;
            at = static_cast<const char *>(newline) + 1;
            cut = read_at + static_cast<size_t>(at - buf);
            lines--;
        }
        read_at += static_cast<size_t>(got);
    }
    vornmgr_history_sync();
    history_shape.known = false;
    static std::string tail;
    tail.clear();
    if (line != nullptr)
        tail.assign(*line).push_back('\n');
    if (!vorn_replace_file_from(dir_fd, vornmgr_history_name(), 0600, file.get(), static_cast<off_t>(cut),
                                size - cut, tail.data(), tail.size())) {
        LOG_ERR("cannot write %s: %s\n", vornmgr_history_path, strerror(errno));
        return HISTORY_REWRITE_FAILED;
    }
    vornmgr_note_replaced(dir_fd, lines + new_lines);
    return HISTORY_REWRITTEN;
}

bool vornmgr_replace_history(int dir_fd, const std::string &text)
{
    vornmgr_history_sync();
    history_shape.known = false;
    const std::string kept = vornmgr_keep_newest(text, VORNMGR_HISTORY_MAX_RECORDS, VORNMGR_HISTORY_MAX_BYTES);
    if (!vorn_replace_file_at(dir_fd, vornmgr_history_name(), 0600, kept.data(), kept.size()))
        return false;
    // Whole lines only: the next record is then appended, or the oldest
    // dropped, without reading the file again.
    if (kept.empty() || kept.back() == '\n')
        vornmgr_note_replaced(dir_fd, static_cast<int>(std::count(kept.begin(), kept.end(), '\n')));
    return true;
}

bool vornmgr_replace_history(const std::string &text)
{
    const unique_fd dir = vornmgr_open_history_dir();
    return dir && vornmgr_replace_history(dir.get(), text);
}

// The last record of a restart in the file's text, or empty.
std::string vornmgr_last_restart_line(const std::string &text)
{
    size_t end = text.size();
    if (end > 0 && text[end - 1] == '\n')
        end--;
    for (;;) {
        const size_t newline = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
        const size_t from = newline == std::string::npos ? 0 : newline + 1;
        const std::string line = text.substr(from, end - from);
        const json record = json::parse(line, nullptr, false);
        if (record.is_object() && record.contains("kind") && record["kind"] == "restart" &&
            record.contains("reboot") && record["reboot"].is_object())
            return line;
        if (from == 0)
            return "";
        end = from - 1;
    }
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
    json words(json::value_t::array);
    for (const auto &[bit, word] : flags)
        if (static_cast<unsigned>(mode) & bit)
            words.get_ref<json::array_t &>().emplace_back(word);
    char text[VORNMGR_TEXT_BUF_LEN];
    json object = vornmgr_object(3);
    vornmgr_add(object, "bits", static_cast<unsigned>(mode));
    vornmgr_add(object, "words", std::move(words));
    vornmgr_add(object, "text", mode_to_str(mode, text));
    return object;
}

std::string vornmgr_format_history_record(const vornmgr_history_sequence_t &sequence)
{
    json record = vornmgr_object(14);
    vornmgr_add(record, "version", 1);
    vornmgr_add(record, "kind", vornmgr_sequence_kind_name(sequence.kind));
    const unsigned bits = static_cast<unsigned>(sequence.mode);
    vornmgr_add(record, "boot",
                (bits & REBOOT_WARM)   ? json("warm")
                : (bits & REBOOT_FAST) ? json("fast")
                : (bits & REBOOT_COLD) ? json("cold")
                                       : json(nullptr));
    vornmgr_add(record, "upgrade", (bits & SYS_UPGRADE) != 0);
    vornmgr_add(record, "mode", vornmgr_mode_json(sequence.mode));
    vornmgr_add(record, "mode_before", vornmgr_mode_json(sequence.mode_before));
    json requester(nullptr);
    if (sequence.requester.known) {
        requester = vornmgr_object(2);
        vornmgr_add(requester, "uid", static_cast<unsigned>(sequence.requester.uid));
        vornmgr_add(requester, "pid", static_cast<int>(sequence.requester.pid));
    }
    vornmgr_add(record, "requested_by", std::move(requester));
    vornmgr_add(record, "started_ms", sequence.started_ms);
    vornmgr_add(record, "duration_ms", sequence.duration_ms);
    vornmgr_add(record, "completed", sequence.completed);
    vornmgr_add(record, "registered", sequence.registered);
    json positions(json::value_t::array);
    if (sequence.trace != nullptr) {
        auto &entries = positions.get_ref<json::array_t &>();
        entries.reserve(static_cast<size_t>(sequence.trace->positions));
        for (int k = 0; k < sequence.trace->positions; k++)
            entries.push_back(vornmgr_position_json(sequence.trace->position[k]));
    }
    vornmgr_add(record, "positions", std::move(positions));
    json reboot(nullptr);
    if (sequence.reboot_command != nullptr) {
        reboot = vornmgr_object(4);
        vornmgr_add(reboot, "command", sequence.reboot_command);
        vornmgr_add(reboot, "exit_status", nullptr);
        vornmgr_add(reboot, "signal", nullptr);
        vornmgr_add(reboot, "failure", nullptr);
    }
    vornmgr_add(record, "reboot", std::move(reboot));
    return vornmgr_dump(record);
}

std::string vornmgr_add_reboot_end(const std::string &line, int exit_status, int signal, const char *failure)
{
    json record = json::parse(line, nullptr, false);
    if (!record.is_object() || !record.contains("reboot") || !record["reboot"].is_object())
        return "";
    record["reboot"]["exit_status"] = signal == 0 && exit_status >= 0 ? json(exit_status) : json(nullptr);
    record["reboot"]["signal"] = signal != 0 ? json(signal) : json(nullptr);
    record["reboot"]["failure"] = failure != nullptr ? json(failure) : json(nullptr);
    return vornmgr_dump(record);
}

void vornmgr_history_append(const std::string &line)
{
    if (line.size() + 1 > VORNMGR_HISTORY_MAX_BYTES) {
        LOG_ERR("cannot write %s: a record of %zu bytes is over its bound\n", vornmgr_history_path, line.size());
        return;
    }
    // Records reach the disk in their order.
    vornmgr_history_sync();
    const unique_fd dir = vornmgr_open_history_dir();
    if (!dir)
        return;
    if (vornmgr_append_to_known(dir.get(), line) || vornmgr_drop_oldest_of_known(dir.get(), &line) != HISTORY_MUST_READ)
        return;
    std::string text;
    std::string damage;
    vornmgr_history_found_t found = vornmgr_load_history(dir.get(), &text, &damage);
    if (found == HISTORY_UNREADABLE) {
        LOG_ERR("cannot read %s: %s\n", vornmgr_history_path, strerror(errno));
        return;
    }
    if (found == HISTORY_READ && vornmgr_history_mostly_damaged(text)) {
        found = HISTORY_DAMAGED;
        damage = "mostly damaged lines";
    }
    if (found == HISTORY_DAMAGED) {
        if (!vornmgr_set_history_aside(dir.get(), damage))
            return;
        text.clear();
    }
    // A last line cut short (power lost while writing) stays a line of its
    // own: the new record starts after it.
    const bool cut_short = !text.empty() && text.back() != '\n';
    const std::string added = (cut_short ? "\n" : "") + line + "\n";
    const int lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + cut_short;
    // Within both bounds the record is only appended; past either the
    // oldest lines go, and the file is replaced whole.
    const bool written = lines < VORNMGR_HISTORY_MAX_RECORDS && text.size() + added.size() <= VORNMGR_HISTORY_MAX_BYTES
                             ? vornmgr_append_synced(dir.get(), added, lines + 1)
                             : vornmgr_replace_history(dir.get(), text + added);
    if (!written)
        LOG_ERR("cannot write %s: %s\n", vornmgr_history_path, strerror(errno));
}

void vornmgr_history_defer_sync(bool defer)
{
    sync_deferred = defer;
    if (!defer)
        vornmgr_history_sync();
}

void vornmgr_history_sync(void)
{
    if (!unsynced_history)
        return;
    const unique_fd written = std::move(unsynced_history);
    // A record appended past the bound of records: the file is replaced by
    // one without its oldest line, synced with its directory, which takes
    // the record to the disk too.
    if (history_shape.known && history_shape.lines > VORNMGR_HISTORY_MAX_RECORDS) {
        const unique_fd dir = vornmgr_open_history_dir();
        if (dir && vornmgr_drop_oldest_of_known(dir.get(), nullptr) == HISTORY_REWRITTEN)
            return;
    }
    if (fsync(written.get()) != 0)
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

void vornmgr_history_note_reboot_end(int exit_status, int signal, const char *failure)
{
    try {
        std::string text;
        if (!vornmgr_read_history(&text)) {
            LOG_ERR("cannot add the reboot's status to %s: %s\n", vornmgr_history_path, strerror(errno));
            return;
        }
        // A manager restarted since the restart was recorded finds its record
        // as the last restart in the file.
        if (last_restart_line.empty())
            last_restart_line = vornmgr_last_restart_line(text);
        const std::string updated =
            last_restart_line.empty() ? "" : vornmgr_add_reboot_end(last_restart_line, exit_status, signal, failure);
        if (updated.empty()) {
            LOG_ERR("cannot add the reboot's status to %s: %s\n", vornmgr_history_path, "unreadable record");
            return;
        }
        // The restart's record is the last of its kind; records after it
        // (none, or a recovery's) stay as they are.
        const size_t at = text.rfind(last_restart_line + "\n");
        if (at == std::string::npos || (at != 0 && text[at - 1] != '\n')) {
            LOG_ERR("cannot add the reboot's status to %s: its record is gone\n", vornmgr_history_path);
            last_restart_line.clear();
            return;
        }
        text.replace(at, last_restart_line.size(), updated);
        // Kept: a reboot that ended well may still fail to take the machine
        // down, and that is added later.
        last_restart_line = updated;
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
