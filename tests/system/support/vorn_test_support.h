// SPDX-License-Identifier: Apache-2.0
// Support for system tests: run the real programs, talk to them the way a
// module, systemd or an operator would, and inspect what they left behind.
//
// System tests run inside tools/sandbox (see cmake/testing.cmake), so the fixed
// paths, ports and sockets of the programs are private to each test case:
// /run, /tmp and /var/tmp start empty, /etc and /usr/lib are writable
// overlays, and reboot, ifdown, ifreload, apt-get, sudo and the
// /usr/lib/norvane helpers are stubs that log their calls (stub_log()).
//
// Every wait takes a bound and returns false / nullopt when it passes; pick it
// generously (seconds), the waits end as soon as the event happens.
#pragma once

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

#include <zmq.hpp>

namespace vorn_test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Timeout = std::chrono::milliseconds;

inline constexpr Timeout DEFAULT_TIMEOUT = 10s;

// ---------------------------------------------------------------------------
// Programs and files
// ---------------------------------------------------------------------------

// Path of a program built by this project, e.g. bin_path("vornmgrd").
// Looks, in order, in $VORN_BIN_DIR, among the DEPENDS targets given to
// vorn_add_system_test (their exact output paths), then in the build tree's root.
std::string bin_path(const std::string &program);

// Makes bin_path(name) return path. The build registers the DEPENDS targets of
// each system test this way, through a generated source file.
struct ProgramRegistration {
    ProgramRegistration(const std::string &name, const std::string &path);
};

// Root of the source tree (for scripts and data files kept with the tests).
std::string source_dir();

// Whole content of a file, or nullopt if it cannot be read.
std::optional<std::string> read_file(const std::string &path);

// Replaces the file's content (creating it, not its directories).
// Throws std::runtime_error on failure.
void write_file(const std::string &path, std::string_view text);

bool file_exists(const std::string &path);

// Polls predicate every 20 ms until it is true (returns true) or the bound
// passes (returns false). For state that nothing notifies: files, logs.
bool wait_until(const std::function<bool()> &predicate, Timeout timeout = DEFAULT_TIMEOUT);

// ---------------------------------------------------------------------------
// Stubs (only inside the sandbox)
// ---------------------------------------------------------------------------

// Lines logged so far by the stubs, "<name> <args...>" each, oldest first
// (read from $SANDBOX_STUB_LOG).
std::vector<std::string> stub_log();

// Waits until the stub log holds a line equal to `line`, e.g. "reboot --fast".
bool wait_for_stub_call(std::string_view line, Timeout timeout = DEFAULT_TIMEOUT);

// How a stub behaves from now on (reboot, apt-get, sudo, pelmar.py, ...).
// Unset fields keep the stub's default: exit 0 (or the script's status), no
// output, no delay; "sudo" runs its command unless exit_code is set.
struct StubBehaviour {
    std::optional<int> exit_code;
    std::string stdout_text;
    std::string stderr_text;
    double delay_seconds = 0;
    // Bash script run with the stub's arguments before it exits, for side
    // effects; empty for none.
    std::string script;
};
void configure_stub(const std::string &name, const StubBehaviour &behaviour);

// ---------------------------------------------------------------------------
// Process
// ---------------------------------------------------------------------------

// How a process ended.
struct ExitStatus {
    int code = -1;  // exit code if it exited, else -1
    int signal = 0; // the signal that ended it, else 0

    bool exited() const { return signal == 0; }
    std::string to_string() const; // "exit 0", "signal 9 (Killed)"
    bool operator==(const ExitStatus &) const = default;
};
std::ostream &operator<<(std::ostream &out, const ExitStatus &status);
ExitStatus exited_with(int code);
ExitStatus killed_by(int signal);

struct ProcessOptions {
    // "NAME=value" entries added to (or replacing in) the test's environment.
    std::vector<std::string> env;
    // Standard input: nullopt and stdin_pipe false give /dev/null; text is
    // written and then the pipe is closed; stdin_pipe keeps it open for
    // write_stdin() / close_stdin().
    std::optional<std::string> stdin_text;
    bool stdin_pipe = false;
    // Working directory; empty for the test's.
    std::string cwd;
};

// A child process whose standard output and error are captured continuously by
// a reader thread. The accessors and waits may be called from any thread.
// Destruction kills (SIGKILL) and reaps the process if it still runs.
class Process {
public:
    // argv[0] is looked up in PATH if it has no '/'.
    // Throws std::runtime_error if the program cannot be started.
    explicit Process(std::vector<std::string> argv, ProcessOptions options = {});
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    pid_t pid() const { return pid_; }

    // Waits for the process to end and reaps it; nullopt if it still runs at
    // the bound. Once it ended, returns the same status at once.
    std::optional<ExitStatus> wait_exit(Timeout timeout = DEFAULT_TIMEOUT);
    bool running();

    // Sends a signal; false if the process was already reaped.
    bool kill(int signal = SIGTERM);

    std::string stdout_text() const;
    std::string stderr_text() const;
    // Waits until the text received so far, from byte `from` on, contains the
    // substring or matches the regular expression (std::regex_search).
    // Pass the size of an earlier stdout_text()/stderr_text() as `from` to wait
    // for a new occurrence.
    bool wait_for_stdout(std::string_view text, Timeout timeout = DEFAULT_TIMEOUT, std::size_t from = 0);
    bool wait_for_stdout(const std::regex &pattern, Timeout timeout = DEFAULT_TIMEOUT, std::size_t from = 0);
    bool wait_for_stderr(std::string_view text, Timeout timeout = DEFAULT_TIMEOUT, std::size_t from = 0);
    bool wait_for_stderr(const std::regex &pattern, Timeout timeout = DEFAULT_TIMEOUT, std::size_t from = 0);

    // Standard input, if opened with stdin_pipe: queued and written by the
    // reader thread, so neither call blocks.
    void write_stdin(std::string_view text);
    void close_stdin();

private:
    struct Stream;
    bool wait_for_text(const Stream &stream, const std::function<bool(std::string_view)> &found,
                       Timeout timeout, std::size_t from);
    void pump();
    void wake_pump();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    std::optional<ExitStatus> status_; // set once reaped; guarded by wait_mutex_
    std::mutex wait_mutex_;

    struct Stream {
        int fd = -1;
        std::string text; // guarded by io_mutex_
        bool eof = false; // guarded by io_mutex_
    };
    Stream out_, err_;
    int stdin_fd_ = -1;
    std::string stdin_pending_;  // guarded by io_mutex_
    bool stdin_closing_ = false; // guarded by io_mutex_
    bool stopping_ = false;      // guarded by io_mutex_
    // wait_exit() asks the reader thread to read everything an ended child
    // left in the pipes; both guarded by io_mutex_.
    std::uint64_t drain_requested_ = 0;
    std::uint64_t drain_done_ = 0;
    int wake_fd_ = -1;           // eventfd waking the reader thread
    mutable std::mutex io_mutex_;
    std::condition_variable io_changed_;
    std::thread pump_thread_;
};

// ---------------------------------------------------------------------------
// systemd notifications
// ---------------------------------------------------------------------------

// An AF_UNIX datagram socket at a fresh path, standing in for systemd's
// notification socket. Pass env() to the daemon (ProcessOptions::env).
class NotifySocket {
public:
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    const std::string &path() const { return path_; }
    std::string env() const { return "NOTIFY_SOCKET=" + path_; }

    // Waits until some received datagram has a line equal to `line`
    // ("READY=1", "STOPPING=1"). Earlier datagrams count too.
    bool wait_for(std::string_view line, Timeout timeout = DEFAULT_TIMEOUT);
    // Every datagram received so far (only those read by wait_for).
    std::vector<std::string> messages();

private:
    std::string directory_;
    std::string path_;
    int fd_ = -1;
    std::mutex mutex_; // guards messages_ and reads of fd_
    std::vector<std::string> messages_;
};

// ---------------------------------------------------------------------------
// Wire packages
// ---------------------------------------------------------------------------
//
// A package is int32 total_len (the whole package, these 4 bytes included),
// then messages, each int32 type, int32 len (the message, its 8-byte header
// included) and len - 8 bytes of payload. Integers in host byte order.

inline constexpr const char *COMM_ENDPOINT = "tcp://127.0.0.1:49002";
inline constexpr const char *PUBLISH_ENDPOINT = "tcp://127.0.0.1:49012";

// The int32 values in host byte order, back to back.
Bytes ints(std::initializer_list<std::int32_t> values);
// A message: type, len = 8 + 4 * n, then the int32 payload fields.
Bytes msg(std::int32_t type, std::initializer_list<std::int32_t> payload = {});
// A message with a raw payload.
Bytes msg_raw(std::int32_t type, const Bytes &payload);
// A package: total_len, then the parts as given.
Bytes pkg_of(const std::vector<Bytes> &parts);
template <typename... Parts>
Bytes pkg(const Parts &...parts)
{
    return pkg_of(std::vector<Bytes>{parts...});
}
// pkg({7, 12, 5}): total_len 16, then 7, 12, 5.
Bytes pkg(std::initializer_list<std::int32_t> fields);

// Reading packages.
struct WireMessage {
    std::int32_t type = 0;
    std::int32_t len = 0;
    Bytes payload;
    std::vector<std::int32_t> fields() const; // payload as int32s (whole ones)
};
// The messages of a well-formed package; nullopt if total_len differs from the
// size or a message's len is below 8 or overruns the package.
std::optional<std::vector<WireMessage>> parse_pkg(const Bytes &package);
// The first message of a package: its type, then its payload fields; empty
// if the package is not well formed or holds no message.
std::vector<std::int32_t> fields_of(const Bytes &package);
// The int32 at a byte offset, or nullopt beyond the end.
std::optional<std::int32_t> int_at(const Bytes &bytes, std::size_t offset);
// All whole int32s of the bytes.
std::vector<std::int32_t> to_ints(const Bytes &bytes);
// "0c 00 00 00 6b 00 00 00" - for assertion messages.
std::string to_hex(const Bytes &bytes);

// ---------------------------------------------------------------------------
// ZeroMQ peers
// ---------------------------------------------------------------------------
//
// Neither class is thread-safe: use each object from one thread at a time.

// A module's side of the manager's channels: a request socket connected to the
// comm channel and a subscriber, subscribed to everything, on the publish
// channel. Both connect at construction; the manager may start later.
class FakeModule {
public:
    FakeModule();
    ~FakeModule();
    FakeModule(const FakeModule &) = delete;
    FakeModule &operator=(const FakeModule &) = delete;

    // Sends one request and waits for its reply. On time-out the request
    // socket is replaced by a fresh one, so the next request can be sent.
    std::optional<Bytes> request(const Bytes &package, Timeout timeout = DEFAULT_TIMEOUT);
    // Sends the request again every `retry_every` on a fresh socket until a
    // reply arrives or the bound passes: for a manager that is still starting
    // or restarting. The manager may receive the request more than once.
    std::optional<Bytes> request_retrying(const Bytes &package, Timeout timeout = DEFAULT_TIMEOUT,
                                          Timeout retry_every = 500ms);

    // Waits until the subscriber has completed `handshakes` connections to the
    // publisher in total (the handshake done, the subscription on its way), so
    // that broadcasts caused from now on reach it. After a restart of the
    // manager, wait_subscribed(2) waits for the reconnection; the subscription
    // is re-sent then but reaches the publisher a moment later, so a test that
    // must not miss the first broadcast after a restart should cause it again
    // or wait for a periodic one.
    bool wait_subscribed(int handshakes = 1, Timeout timeout = DEFAULT_TIMEOUT);
    // The next broadcast, or nullopt at the bound.
    std::optional<Bytes> next_broadcast(Timeout timeout = DEFAULT_TIMEOUT);
    // The next broadcast satisfying the predicate; others are dropped.
    std::optional<Bytes> next_broadcast_where(const std::function<bool(const Bytes &)> &wanted,
                                              Timeout timeout = DEFAULT_TIMEOUT);
    // The next broadcast whose first message has this type (e.g. 100 GO_DOWN).
    std::optional<Bytes> next_broadcast_of_type(std::int32_t type, Timeout timeout = DEFAULT_TIMEOUT);

private:
    void open_request_socket();

    zmq::context_t context_;
    zmq::socket_t request_;
    zmq::socket_t subscriber_;
    zmq::socket_t subscriber_monitor_;
    int handshakes_ = 0;
};

// The manager's side, for testing module code: a reply socket bound on the comm
// channel and a publisher bound on the publish channel. Throws
// std::runtime_error if a port is taken.
class FakeManager {
public:
    FakeManager();
    ~FakeManager();
    FakeManager(const FakeManager &) = delete;
    FakeManager &operator=(const FakeManager &) = delete;

    // The next request; reply() must answer it before the next one is received.
    std::optional<Bytes> receive_request(Timeout timeout = DEFAULT_TIMEOUT);
    bool reply(const Bytes &package);
    // Waits until at least `count` subscribers in total have subscribed.
    bool wait_for_subscribers(int count = 1, Timeout timeout = DEFAULT_TIMEOUT);
    bool publish(const Bytes &package);

private:
    void drain_subscriptions(Timeout timeout);

    zmq::context_t context_;
    zmq::socket_t reply_;
    zmq::socket_t publisher_;
    int subscribers_ = 0;
};

} // namespace vorn_test
