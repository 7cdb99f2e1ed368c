// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_history.h - the manager's history of take-downs and bring-ups:
// what each position of a take-down saw (gathered by the administration
// sequence under `lock`, in fixed arrays, while answers arrive), and the one
// JSON record per sequence written from it to VORNMGR_HISTORY_FILE. The
// record's fields are documented in vornmgrctl(8); later versions only add
// fields.
#ifndef VORN_MGR_HISTORY_H
#define VORN_MGR_HISTORY_H

#include "vorn_mgr_cli_server.h"

#include <nlohmann/json_fwd.hpp>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>

// ---------------------------------------------------------------------------
// What a take-down saw (filled in vorn_mgr_admin.cpp, under `lock`)

typedef struct vornmgr_position_trace_t {
    Module mod;
    int timeout;        // seconds allowed to the position
    int64_t go_down_ms; // wall clock, milliseconds since the epoch
    int64_t down_ms;    // 0 while the DOWN broadcast has not gone out
    std::chrono::steady_clock::time_point go_down_sent;
    int64_t waited_us;  // from the GO_DOWN broadcast to the end of the wait
    int required;
    int received;       // answers counted in time
    bool timed_out;
    bool open;          // answers still count for this position
    unsigned expected;  // registered modules awaited, one bit per Module
    unsigned answered;  // senders that answered in time, one bit per Module
    std::array<int64_t, MAX_MODULES> delay_us;  // per sender, from GO_DOWN to its answer
    std::array<int32_t, MAX_MODULES> failure;   // per sender, its Failure_Reason (0: none)
} vornmgr_position_trace_t;

typedef struct vornmgr_take_down_trace_t {
    int positions;      // entries of `position` in use
    int registered;     // modules registered when the take-down started
    unsigned expected;  // registered modules when the take-down started, less those that left
    bool stopped;       // the manager stopped in the middle
    std::array<vornmgr_position_trace_t, 8> position;
} vornmgr_take_down_trace_t;

// A copy of the trace of the take-down that ran last (vorn_mgr_admin.cpp).
vornmgr_take_down_trace_t vornmgr_copy_take_down_trace(void);

// ---------------------------------------------------------------------------
// One record (vorn_mgr_history.cpp); operator thread only

typedef struct vornmgr_history_requester_t {
    bool known;  // false for the manager's own recoveries
    uid_t uid;
    pid_t pid;
} vornmgr_history_requester_t;

typedef struct vornmgr_history_sequence_t {
    vornmgr_sequence_kind_t kind;
    Mode mode;         // the mode the sequence moved the system to
    Mode mode_before;  // the mode before it
    vornmgr_history_requester_t requester;
    int64_t started_ms;   // wall clock, milliseconds since the epoch
    int64_t duration_ms;
    int registered;       // modules registered when it started
    bool completed;       // false: the manager stopped in the middle
    const char *reboot_command;            // a restart's, else nullptr
    const vornmgr_take_down_trace_t *trace; // a take-down's, else nullptr
} vornmgr_history_sequence_t;

int64_t vornmgr_wall_ms(void);
// The record as one line of JSON text, without the newline.
std::string vornmgr_format_history_record(const vornmgr_history_sequence_t &sequence);
// The record with the reboot command's end added: `exit_status` when it
// exited (and is known), else the `signal` that ended it, and `failure`, why
// no reboot came, when not null. Empty if `line` is not a record.
std::string vornmgr_add_reboot_end(const std::string &line, int exit_status, int signal,
                                   const char *failure = nullptr);

// The file's directory, path and bound; tests point them elsewhere.
extern const char *vornmgr_history_dir;
extern const char *vornmgr_history_path;
#define VORNMGR_HISTORY_MAX_RECORDS 100
// A take-down of 8 positions is about 5 KiB, 11 KiB when every module answers
// every position with a failure: 100 of the largest fit with room to spare.
// The file is never read into memory past this; vornmgrctl reads with the
// same bound.
#define VORNMGR_HISTORY_MAX_BYTES (2 * 1024 * 1024)

// Appends the line and syncs it; once the file would hold more than either
// bound, replaces it atomically with the newest lines that fit (while a
// request is served, only when the sync after its answer comes, if the line
// fits the bound of bytes). A file that
// is not root's regular file, is over the byte bound or holds mostly damaged
// lines is first set aside as <file>.damaged (logged at ERR) and a fresh one
// started. In a directory that is a link or not root's alone nothing is
// written. A failure is logged at ERR and changes nothing else.
void vornmgr_history_append(const std::string &line);

// While a request is served (vornmgr_history_request_scope), a record is
// written before the answer and synced to the disk after it: the tool reads
// it at once from the page cache, and the answer does not wait for the disk.
// vornmgr_history_sync syncs what was written now: after the answer, and
// before anything that must find the record on disk after a power loss (the
// reboot command). Ending the deferral syncs too.
void vornmgr_history_defer_sync(bool defer);
void vornmgr_history_sync(void);

// The operator's credentials, set for the request being served so that a
// bring-up recorded deep in it names who asked; cleared after it.
void vornmgr_history_set_requester(vornmgr_history_requester_t requester);
vornmgr_history_requester_t vornmgr_history_requester(void);
// Names the requester for the life of one request.
class vornmgr_history_request_scope {
public:
    explicit vornmgr_history_request_scope(vornmgr_history_requester_t requester)
    {
        vornmgr_history_set_requester(requester);
        vornmgr_history_defer_sync(true);
    }
    ~vornmgr_history_request_scope()
    {
        vornmgr_history_defer_sync(false);
        vornmgr_history_set_requester({});
    }
    vornmgr_history_request_scope(const vornmgr_history_request_scope &) = delete;
    vornmgr_history_request_scope &operator=(const vornmgr_history_request_scope &) = delete;
};

// Records a sequence that just ended (before its RESP_OVER); for a restart,
// keeps the line to add the reboot command's end to it later. Also updates
// each module's last take-down result.
void vornmgr_history_record(const vornmgr_history_sequence_t &sequence);
// Records the take-down that just ran for a request (kind SEQUENCE_RESTART
// or SEQUENCE_MAINT_ENTER) from its trace.
void vornmgr_history_record_take_down(vornmgr_sequence_kind_t kind, Mode mode, Mode mode_before,
                                      int64_t started_ms, const char *reboot_command);
// The credentials of the operator's peer on `conn_fd`; not known (errno set)
// when they cannot be read.
vornmgr_history_requester_t vornmgr_history_peer(int conn_fd);
// The reboot command of the restart recorded last ended (`exit_status` -1
// when not known), and, when not null, why no reboot came of it. A manager
// restarted since finds that restart's record in the file.
void vornmgr_history_note_reboot_end(int exit_status, int signal, const char *failure = nullptr);

// ---------------------------------------------------------------------------
// Each module's last take-down, for the JSON status (vorn_mgr_history.cpp)

typedef enum vornmgr_take_down_result_t {
    TAKE_DOWN_NONE,       // never taken down by this manager
    TAKE_DOWN_DOWN,       // answered its own GO_DOWN in time
    TAKE_DOWN_FAILED,     // answered with a failure reason
    TAKE_DOWN_NO_ANSWER,  // did not answer its own GO_DOWN in time
} vornmgr_take_down_result_t;

typedef struct vornmgr_last_take_down_t {
    vornmgr_take_down_result_t result;
    int32_t reason;      // the failure reason, for TAKE_DOWN_FAILED
    int64_t at_ms;       // when its GO_DOWN went out
    int64_t waited_ms;   // how long its position waited
    bool timed_out;      // its position's wait timed out
} vornmgr_last_take_down_t;

vornmgr_last_take_down_t vornmgr_last_take_down(Module mod);
// Text of a failure reason: "busy", or the number.
std::string vornmgr_failure_reason_text(int32_t reason);
// A mode as both formats give it: {"bits", "words", "text"}.
nlohmann::ordered_json vornmgr_mode_json(Mode mode);

// ---------------------------------------------------------------------------
// Status as JSON (vorn_mgr_cli_status_json.cpp)

// The whole status document, from what the text report shows.
std::string vornmgr_format_status_json(const vornmgr_report_t &report);
// Answers SHOW_JSON with SHOW_IN_PROGRESS records holding the document;
// the caller ends the answer with RESP_OVER.
bool vornmgr_process_show_json(int conn_fd, bool upgraded);

#endif // VORN_MGR_HISTORY_H
