// SPDX-License-Identifier: Apache-2.0
#include "vorn_test_support.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <ostream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

#ifndef VORN_BIN_DIR
#error "VORN_BIN_DIR must name the build tree's root"
#endif
#ifndef VORN_SOURCE_DIR
#error "VORN_SOURCE_DIR must name the source tree's root"
#endif

namespace vorn_test {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void throw_system_error(const std::string &what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Milliseconds left until the deadline, as poll() and ZeroMQ take them.
int remaining_ms(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<long long>(left, 0, INT_MAX));
}

int to_ms(Timeout timeout)
{
    return int(std::clamp<long long>(timeout.count(), 0, INT_MAX));
}

std::map<std::string, std::string> &registered_programs()
{
    static std::map<std::string, std::string> programs;
    return programs;
}

std::string stub_state_dir()
{
    const char *dir = std::getenv("SANDBOX_STUB_DIR");
    return dir && *dir ? dir : "/run/sandbox";
}

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        throw_system_error("fcntl O_NONBLOCK");
}

void close_fd(int &fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

// ---------------------------------------------------------------------------
// Programs and files
// ---------------------------------------------------------------------------

ProgramRegistration::ProgramRegistration(const std::string &name, const std::string &path)
{
    registered_programs()[name] = path;
}

std::string bin_path(const std::string &program)
{
    if (const char *dir = std::getenv("VORN_BIN_DIR"); dir && *dir)
        return std::string(dir) + "/" + program;
    if (auto found = registered_programs().find(program); found != registered_programs().end())
        return found->second;
    return std::string(VORN_BIN_DIR) + "/" + program;
}

std::string source_dir()
{
    return VORN_SOURCE_DIR;
}

std::optional<std::string> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), std::streamsize(text.size()));
    out.close();
    if (!out)
        throw_system_error("cannot write " + path);
}

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

bool wait_until(const std::function<bool()> &predicate, Timeout timeout)
{
    auto deadline = Clock::now() + timeout;
    while (!predicate()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Stubs
// ---------------------------------------------------------------------------

std::vector<std::string> stub_log()
{
    std::vector<std::string> lines;
    const char *log = std::getenv("SANDBOX_STUB_LOG");
    std::ifstream in(log && *log ? log : stub_state_dir() + "/stubs.log");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool wait_for_stub_call(std::string_view line, Timeout timeout)
{
    return wait_until(
        [&] {
            auto lines = stub_log();
            return std::find(lines.begin(), lines.end(), line) != lines.end();
        },
        timeout);
}

void configure_stub(const std::string &name, const StubBehaviour &behaviour)
{
    std::string base = stub_state_dir() + "/stub." + name;
    // Each file is either written or removed, so a later call fully replaces
    // an earlier one.
    auto set = [&](const std::string &suffix, bool wanted, const std::string &text) {
        if (wanted)
            write_file(base + suffix, text);
        else
            unlink((base + suffix).c_str());
    };
    set(".rc", behaviour.exit_code.has_value(), std::to_string(behaviour.exit_code.value_or(0)) + "\n");
    set(".out", !behaviour.stdout_text.empty(), behaviour.stdout_text);
    set(".err", !behaviour.stderr_text.empty(), behaviour.stderr_text);
    std::ostringstream delay;
    delay << behaviour.delay_seconds;
    set(".delay", behaviour.delay_seconds > 0, delay.str() + "\n");
    set(".sh", !behaviour.script.empty(), behaviour.script);
}

// ---------------------------------------------------------------------------
// Process
// ---------------------------------------------------------------------------

std::string ExitStatus::to_string() const
{
    if (exited())
        return "exit " + std::to_string(code);
    return "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

std::ostream &operator<<(std::ostream &out, const ExitStatus &status)
{
    return out << status.to_string();
}

ExitStatus exited_with(int code)
{
    return ExitStatus{code, 0};
}

ExitStatus killed_by(int signal)
{
    return ExitStatus{-1, signal};
}

namespace {

// The test's environment with the additions applied, as "NAME=value" strings.
std::vector<std::string> merged_environment(const std::vector<std::string> &additions)
{
    std::vector<std::string> result;
    auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    for (char **entry = environ; *entry; ++entry) {
        std::string current = *entry;
        bool replaced = std::any_of(additions.begin(), additions.end(),
                                    [&](const std::string &a) { return name_of(a) == name_of(current); });
        if (!replaced)
            result.push_back(current);
    }
    result.insert(result.end(), additions.begin(), additions.end());
    return result;
}

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (auto &s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Owns the posix_spawn attribute objects for the duration of one spawn.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

} // namespace

Process::Process(std::vector<std::string> argv, ProcessOptions options)
{
    if (argv.empty())
        throw std::invalid_argument("Process: empty argv");

    int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
    bool want_stdin = options.stdin_pipe || options.stdin_text.has_value();
    if (pipe2(out_pipe, O_CLOEXEC) < 0 || pipe2(err_pipe, O_CLOEXEC) < 0 ||
        (want_stdin && pipe2(in_pipe, O_CLOEXEC) < 0))
        throw_system_error("pipe2");

    SpawnSetup setup;
    posix_spawn_file_actions_adddup2(&setup.actions, out_pipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&setup.actions, err_pipe[1], STDERR_FILENO);
    if (want_stdin)
        posix_spawn_file_actions_adddup2(&setup.actions, in_pipe[0], STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!options.cwd.empty())
        posix_spawn_file_actions_addchdir_np(&setup.actions, options.cwd.c_str());

    // The child starts with no blocked signals and default dispositions, even
    // if the test (or gtest) ignores or blocks some.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> env = merged_environment(options.env);
    std::vector<char *> argv_c = c_strings(argv);
    std::vector<char *> env_c = c_strings(env);
    int error = posix_spawnp(&pid_, argv[0].c_str(), &setup.actions, &setup.attributes, argv_c.data(),
                             env_c.data());

    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    if (want_stdin)
        ::close(in_pipe[0]);
    if (error != 0) {
        ::close(out_pipe[0]);
        ::close(err_pipe[0]);
        if (want_stdin)
            ::close(in_pipe[1]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }

    out_.fd = out_pipe[0];
    err_.fd = err_pipe[0];
    stdin_fd_ = in_pipe[1];
    set_nonblocking(out_.fd);
    set_nonblocking(err_.fd);
    if (want_stdin)
        set_nonblocking(stdin_fd_);
    if (options.stdin_text) {
        stdin_pending_ = *options.stdin_text;
        stdin_closing_ = !options.stdin_pipe;
    }
    // Without a pidfd (kernels before 5.3) wait_exit falls back to polling.
    pidfd_ = int(syscall(SYS_pidfd_open, pid_, 0));
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0)
        throw_system_error("eventfd");
    pump_thread_ = std::thread([this] { pump(); });
}

Process::~Process()
{
    {
        std::lock_guard lock(wait_mutex_);
        if (!status_) {
            kill(SIGKILL);
            int raw;
            while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
            }
        }
    }
    {
        std::lock_guard lock(io_mutex_);
        stopping_ = true;
    }
    wake_pump();
    pump_thread_.join();
    close_fd(out_.fd);
    close_fd(err_.fd);
    close_fd(stdin_fd_);
    close_fd(wake_fd_);
    close_fd(pidfd_);
}

void Process::wake_pump()
{
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wake_fd_, &one, sizeof one);
}

// The reader thread: moves the child's output into the buffers and queued
// input into its standard input until both output pipes end or the object is
// destroyed. A daemonised grandchild may keep the pipes open forever, hence
// the explicit stop.
void Process::pump()
{
    // A child that closes its standard input must not kill the test with
    // SIGPIPE: blocked in this thread, the write just fails with EPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    char buffer[4096];
    for (;;) {
        bool write_stdin_now = false;
        {
            std::lock_guard lock(io_mutex_);
            if (stopping_)
                return;
            if (stdin_fd_ >= 0 && stdin_pending_.empty() && stdin_closing_)
                close_fd(stdin_fd_);
            write_stdin_now = stdin_fd_ >= 0 && !stdin_pending_.empty();
        }

        pollfd fds[4] = {{wake_fd_, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLIN, 0}, {-1, POLLOUT, 0}};
        fds[1].fd = out_.eof ? -1 : out_.fd;
        fds[2].fd = err_.eof ? -1 : err_.fd;
        fds[3].fd = write_stdin_now ? stdin_fd_ : -1;
        if (poll(fds, 4, -1) < 0 && errno != EINTR)
            return;

        std::uint64_t wakes;
        [[maybe_unused]] ssize_t ignored = ::read(wake_fd_, &wakes, sizeof wakes);
        // Taken after consuming the wake: a drain request made before that
        // wake is served by the reads below, which all start after it.
        std::uint64_t drain_request;
        {
            std::lock_guard lock(io_mutex_);
            drain_request = drain_requested_;
        }

        // Read whatever is there on every round, not only on POLLIN: a wake
        // from wait_exit() asks for everything an ended child wrote.
        for (Stream *stream : {&out_, &err_}) {
            while (!stream->eof) {
                ssize_t n = ::read(stream->fd, buffer, sizeof buffer);
                if (n < 0 && (errno == EAGAIN || errno == EINTR))
                    break;
                std::lock_guard lock(io_mutex_);
                if (n > 0)
                    stream->text.append(buffer, std::size_t(n));
                else
                    stream->eof = true;
            }
        }

        if (write_stdin_now) {
            std::lock_guard lock(io_mutex_);
            ssize_t n = ::write(stdin_fd_, stdin_pending_.data(), stdin_pending_.size());
            if (n > 0) {
                stdin_pending_.erase(0, std::size_t(n));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                stdin_pending_.clear();
                close_fd(stdin_fd_);
            }
        }

        {
            std::lock_guard lock(io_mutex_);
            drain_done_ = drain_request;
        }
        io_changed_.notify_all();
    }
}

std::optional<ExitStatus> Process::wait_exit(Timeout timeout)
{
    std::unique_lock lock(wait_mutex_);
    if (status_)
        return status_;

    auto deadline = Clock::now() + timeout;
    int raw = 0;
    pid_t reaped = 0;
    for (;;) {
        reaped = waitpid(pid_, &raw, WNOHANG);
        if (reaped != 0 || Clock::now() >= deadline)
            break;
        if (pidfd_ >= 0) {
            pollfd pfd{pidfd_, POLLIN, 0};
            poll(&pfd, 1, remaining_ms(deadline));
        } else {
            std::this_thread::sleep_for(std::min<Clock::duration>(10ms, deadline - Clock::now()));
        }
    }
    if (reaped <= 0)
        return std::nullopt;
    status_ = WIFSIGNALED(raw) ? killed_by(WTERMSIG(raw)) : exited_with(WEXITSTATUS(raw));
    lock.unlock();

    // Everything the child wrote is in the pipes now; have the reader thread
    // read it all, so that the caller sees the complete output.
    std::unique_lock io_lock(io_mutex_);
    std::uint64_t request = ++drain_requested_;
    wake_pump();
    io_changed_.wait_for(io_lock, 5s, [&] { return drain_done_ >= request || stopping_; });
    return status_;
}

bool Process::running()
{
    return !wait_exit(0ms).has_value();
}

bool Process::kill(int signal)
{
    // A pidfd cannot hit a recycled pid.
    if (pidfd_ >= 0)
        return syscall(SYS_pidfd_send_signal, pidfd_, signal, nullptr, 0) == 0;
    return ::kill(pid_, signal) == 0;
}

std::string Process::stdout_text() const
{
    std::lock_guard lock(io_mutex_);
    return out_.text;
}

std::string Process::stderr_text() const
{
    std::lock_guard lock(io_mutex_);
    return err_.text;
}

bool Process::wait_for_text(const Stream &stream, const std::function<bool(std::string_view)> &found,
                            Timeout timeout, std::size_t from)
{
    std::unique_lock lock(io_mutex_);
    auto seen = [&] {
        std::string_view text = stream.text;
        return from <= text.size() && found(text.substr(from));
    };
    // Once the stream has ended no more text can come.
    io_changed_.wait_for(lock, timeout, [&] { return seen() || stream.eof; });
    return seen();
}

bool Process::wait_for_stdout(std::string_view text, Timeout timeout, std::size_t from)
{
    return wait_for_text(out_, [&](std::string_view t) { return t.find(text) != t.npos; }, timeout, from);
}

bool Process::wait_for_stdout(const std::regex &pattern, Timeout timeout, std::size_t from)
{
    return wait_for_text(
        out_, [&](std::string_view t) { return std::regex_search(t.begin(), t.end(), pattern); }, timeout, from);
}

bool Process::wait_for_stderr(std::string_view text, Timeout timeout, std::size_t from)
{
    return wait_for_text(err_, [&](std::string_view t) { return t.find(text) != t.npos; }, timeout, from);
}

bool Process::wait_for_stderr(const std::regex &pattern, Timeout timeout, std::size_t from)
{
    return wait_for_text(
        err_, [&](std::string_view t) { return std::regex_search(t.begin(), t.end(), pattern); }, timeout, from);
}

void Process::write_stdin(std::string_view text)
{
    {
        std::lock_guard lock(io_mutex_);
        stdin_pending_.append(text);
    }
    wake_pump();
}

void Process::close_stdin()
{
    {
        std::lock_guard lock(io_mutex_);
        stdin_closing_ = true;
    }
    wake_pump();
}

// ---------------------------------------------------------------------------
// NotifySocket
// ---------------------------------------------------------------------------

NotifySocket::NotifySocket()
{
    char directory[] = "/tmp/vorn-notify.XXXXXX";
    if (!mkdtemp(directory))
        throw_system_error("mkdtemp");
    directory_ = directory;
    path_ = directory_ + "/notify.sock";

    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        throw_system_error("socket AF_UNIX");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        close_fd(fd_);
        throw_system_error("bind " + path_);
    }
}

NotifySocket::~NotifySocket()
{
    close_fd(fd_);
    unlink(path_.c_str());
    rmdir(directory_.c_str());
}

bool NotifySocket::wait_for(std::string_view line, Timeout timeout)
{
    auto deadline = Clock::now() + timeout;
    std::lock_guard lock(mutex_);
    auto has_line = [&](const std::string &message) {
        std::istringstream lines(message);
        for (std::string l; std::getline(lines, l);)
            if (l == line)
                return true;
        return false;
    };
    if (std::any_of(messages_.begin(), messages_.end(), has_line))
        return true;
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n >= 0) {
            messages_.emplace_back(buffer, std::size_t(n));
            if (has_line(messages_.back()))
                return true;
            continue;
        }
        if (errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        pollfd pfd{fd_, POLLIN, 0};
        poll(&pfd, 1, remaining_ms(deadline));
    }
}

std::vector<std::string> NotifySocket::messages()
{
    wait_for("", 0ms); // reads what has arrived; an empty line never matches a real message
    std::lock_guard lock(mutex_);
    return messages_;
}

// ---------------------------------------------------------------------------
// Wire packages
// ---------------------------------------------------------------------------

namespace {

void append_int(Bytes &bytes, std::int32_t value)
{
    std::uint8_t raw[sizeof value];
    std::memcpy(raw, &value, sizeof value);
    bytes.insert(bytes.end(), raw, raw + sizeof raw);
}

} // namespace

Bytes ints(std::initializer_list<std::int32_t> values)
{
    Bytes bytes;
    for (std::int32_t value : values)
        append_int(bytes, value);
    return bytes;
}

Bytes msg_raw(std::int32_t type, const Bytes &payload)
{
    Bytes bytes;
    append_int(bytes, type);
    append_int(bytes, std::int32_t(8 + payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Bytes msg(std::int32_t type, std::initializer_list<std::int32_t> payload)
{
    return msg_raw(type, ints(payload));
}

Bytes pkg_of(const std::vector<Bytes> &parts)
{
    Bytes body;
    for (const Bytes &part : parts)
        body.insert(body.end(), part.begin(), part.end());
    Bytes package;
    append_int(package, std::int32_t(4 + body.size()));
    package.insert(package.end(), body.begin(), body.end());
    return package;
}

Bytes pkg(std::initializer_list<std::int32_t> fields)
{
    return pkg_of({ints(fields)});
}

std::optional<std::int32_t> int_at(const Bytes &bytes, std::size_t offset)
{
    std::int32_t value;
    if (offset > bytes.size() || bytes.size() - offset < sizeof value)
        return std::nullopt;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::vector<std::int32_t> to_ints(const Bytes &bytes)
{
    std::vector<std::int32_t> values;
    for (std::size_t offset = 0; offset + 4 <= bytes.size(); offset += 4)
        values.push_back(*int_at(bytes, offset));
    return values;
}

std::vector<std::int32_t> WireMessage::fields() const
{
    return to_ints(payload);
}

std::optional<std::vector<WireMessage>> parse_pkg(const Bytes &package)
{
    auto total_len = int_at(package, 0);
    if (!total_len || *total_len < 4 || std::size_t(*total_len) != package.size())
        return std::nullopt;
    std::vector<WireMessage> messages;
    std::size_t offset = 4;
    while (offset < package.size()) {
        auto type = int_at(package, offset);
        auto len = int_at(package, offset + 4);
        if (!type || !len || *len < 8 || std::size_t(*len) > package.size() - offset)
            return std::nullopt;
        WireMessage message{*type, *len, Bytes(package.begin() + long(offset + 8), package.begin() + long(offset + std::size_t(*len)))};
        messages.push_back(std::move(message));
        offset += std::size_t(*len);
    }
    return messages;
}

std::vector<std::int32_t> fields_of(const Bytes &package)
{
    const auto messages = parse_pkg(package);
    if (!messages || messages->empty())
        return {};
    std::vector<std::int32_t> out{(*messages)[0].type};
    const auto payload = (*messages)[0].fields();
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::string to_hex(const Bytes &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

// ---------------------------------------------------------------------------
// ZeroMQ peers
// ---------------------------------------------------------------------------

namespace {

std::optional<Bytes> receive_bytes(zmq::socket_t &socket, Timeout timeout)
{
    socket.set(zmq::sockopt::rcvtimeo, to_ms(timeout));
    zmq::message_t message;
    if (!socket.recv(message, zmq::recv_flags::none))
        return std::nullopt;
    Bytes bytes(message.data<std::uint8_t>(), message.data<std::uint8_t>() + message.size());
    // The protocol uses single-part messages; drop any further parts.
    while (message.more())
        (void)socket.recv(message, zmq::recv_flags::none);
    return bytes;
}

bool send_bytes(zmq::socket_t &socket, const Bytes &bytes, Timeout timeout)
{
    socket.set(zmq::sockopt::sndtimeo, to_ms(timeout));
    auto sent = socket.send(zmq::buffer(bytes), zmq::send_flags::none);
    return sent && *sent == bytes.size();
}

} // namespace

FakeModule::FakeModule() : context_(1)
{
    open_request_socket();

    subscriber_ = zmq::socket_t(context_, zmq::socket_type::sub);
    subscriber_.set(zmq::sockopt::linger, 0);
    subscriber_.set(zmq::sockopt::subscribe, "");
    // The monitor must exist before connect() or the handshake event is lost.
    std::string monitor_endpoint = "inproc://vorn-test-subscriber-monitor";
    if (zmq_socket_monitor(subscriber_.handle(), monitor_endpoint.c_str(), ZMQ_EVENT_HANDSHAKE_SUCCEEDED) != 0)
        throw std::runtime_error(std::string("zmq_socket_monitor: ") + zmq_strerror(zmq_errno()));
    subscriber_monitor_ = zmq::socket_t(context_, zmq::socket_type::pair);
    subscriber_monitor_.set(zmq::sockopt::linger, 0);
    subscriber_monitor_.connect(monitor_endpoint);
    subscriber_.connect(PUBLISH_ENDPOINT);
}

FakeModule::~FakeModule()
{
    zmq_socket_monitor(subscriber_.handle(), nullptr, 0);
}

void FakeModule::open_request_socket()
{
    request_ = zmq::socket_t(context_, zmq::socket_type::req);
    request_.set(zmq::sockopt::linger, 0);
    request_.connect(COMM_ENDPOINT);
}

std::optional<Bytes> FakeModule::request(const Bytes &package, Timeout timeout)
{
    auto deadline = Clock::now() + timeout;
    if (!send_bytes(request_, package, timeout)) {
        open_request_socket();
        return std::nullopt;
    }
    auto reply = receive_bytes(request_, Timeout(remaining_ms(deadline)));
    // A request socket that missed its reply refuses to send again.
    if (!reply)
        open_request_socket();
    return reply;
}

std::optional<Bytes> FakeModule::request_retrying(const Bytes &package, Timeout timeout, Timeout retry_every)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto reply = request(package, std::min(retry_every, Timeout(remaining_ms(deadline))));
        if (reply || Clock::now() >= deadline)
            return reply;
    }
}

bool FakeModule::wait_subscribed(int handshakes, Timeout timeout)
{
    auto deadline = Clock::now() + timeout;
    while (handshakes_ < handshakes) {
        // An event is two frames: 16-bit event number and 32-bit value, then
        // the endpoint.
        auto event = receive_bytes(subscriber_monitor_, Timeout(remaining_ms(deadline)));
        if (!event)
            return false;
        std::uint16_t number = 0;
        if (event->size() >= sizeof number)
            std::memcpy(&number, event->data(), sizeof number);
        if (number == ZMQ_EVENT_HANDSHAKE_SUCCEEDED)
            ++handshakes_;
    }
    // After a reconnection the subscriber re-sends its subscription only when
    // its owner's thread processes the socket's pending commands, which any
    // call on the socket does; without this the first broadcasts after a
    // manager restart are lost until the next receive.
    (void)subscriber_.get(zmq::sockopt::events);
    return true;
}

std::optional<Bytes> FakeModule::next_broadcast(Timeout timeout)
{
    return receive_bytes(subscriber_, timeout);
}

std::optional<Bytes> FakeModule::next_broadcast_where(const std::function<bool(const Bytes &)> &wanted,
                                                      Timeout timeout)
{
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto broadcast = next_broadcast(Timeout(remaining_ms(deadline)));
        if (!broadcast || wanted(*broadcast))
            return broadcast;
    }
}

std::optional<Bytes> FakeModule::next_broadcast_of_type(std::int32_t type, Timeout timeout)
{
    return next_broadcast_where([type](const Bytes &b) { return int_at(b, 4) == type; }, timeout);
}

FakeManager::FakeManager() : context_(1)
{
    reply_ = zmq::socket_t(context_, zmq::socket_type::rep);
    publisher_ = zmq::socket_t(context_, zmq::socket_type::xpub);
    reply_.set(zmq::sockopt::linger, 0);
    publisher_.set(zmq::sockopt::linger, 0);
    // Report every subscription, not only the first with a given prefix, so
    // that subscribers can be counted.
    publisher_.set(zmq::sockopt::xpub_verbose, 1);
    try {
        reply_.bind(COMM_ENDPOINT);
        publisher_.bind(PUBLISH_ENDPOINT);
    } catch (const zmq::error_t &error) {
        throw std::runtime_error(std::string("FakeManager: cannot bind: ") + error.what());
    }
}

FakeManager::~FakeManager() = default;

std::optional<Bytes> FakeManager::receive_request(Timeout timeout)
{
    return receive_bytes(reply_, timeout);
}

bool FakeManager::reply(const Bytes &package)
{
    return send_bytes(reply_, package, 1s);
}

void FakeManager::drain_subscriptions(Timeout timeout)
{
    auto deadline = Clock::now() + timeout;
    do {
        auto event = receive_bytes(publisher_, Timeout(remaining_ms(deadline)));
        if (!event)
            return;
        // First byte 1: subscribe, 0: unsubscribe; the rest is the prefix.
        if (!event->empty())
            subscribers_ += (*event)[0] == 1 ? 1 : -1;
        deadline = Clock::now(); // after the first, take only what is already there
    } while (true);
}

bool FakeManager::wait_for_subscribers(int count, Timeout timeout)
{
    auto deadline = Clock::now() + timeout;
    drain_subscriptions(0ms);
    while (subscribers_ < count) {
        if (Clock::now() >= deadline)
            return false;
        drain_subscriptions(Timeout(remaining_ms(deadline)));
    }
    return true;
}

bool FakeManager::publish(const Bytes &package)
{
    drain_subscriptions(0ms);
    return send_bytes(publisher_, package, 1s);
}

} // namespace vorn_test
