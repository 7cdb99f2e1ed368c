// SPDX-License-Identifier: Apache-2.0
// The syslog backend, read from the datagrams it actually sends.
//
// Each scenario runs in a child process that gets a mount namespace of its own
// (private propagation) with a fresh tmpfs over /dev, and binds its own
// datagram socket at /dev/log there. The C library's syslog client connects to
// that socket; the machine's /dev and its system logger are never touched,
// and no hook in the library is needed.
#include <syslog.h>
// The priorities the records carry, taken before the logging macros reuse the
// names <syslog.h> gives them.
constexpr int PRI_CRIT = LOG_DAEMON | LOG_CRIT;
constexpr int PRI_ERR = LOG_DAEMON | LOG_ERR;
constexpr int PRI_WARNING = LOG_DAEMON | LOG_WARNING;
constexpr int PRI_INFO = LOG_DAEMON | LOG_INFO;
#undef LOG_CRIT
#undef LOG_ERR
#undef LOG_INFO
#undef LOG_DEBUG
#include "log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct SyslogRecord {
    int priority;
    std::string text;
    bool operator==(const SyslogRecord &other) const = default;
};

std::ostream &operator<<(std::ostream &out, const SyslogRecord &record)
{
    return out << "<" << record.priority << "> \"" << record.text << "\"";
}

constexpr int EXIT_NO_NAMESPACE = 77;
const char END_MARK[] = "\x01scenario-end";

bool write_all(int fd, const void *data, size_t size)
{
    auto *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= size_t(written);
    }
    return true;
}

// Sends one length-prefixed chunk; notes go as priority -1.
bool send_chunk(int fd, int priority, const std::string &text)
{
    uint32_t length = uint32_t(text.size());
    return write_all(fd, &priority, sizeof priority) && write_all(fd, &length, sizeof length) &&
           write_all(fd, text.data(), text.size());
}

bool write_proc(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = write_all(fd, text.data(), text.size());
    close(fd);
    return ok;
}

// A private mount namespace, as root or else through a user namespace.
bool enter_private_dev()
{
    if (unshare(CLONE_NEWNS) != 0) {
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            return false;
        write_proc("/proc/self/setgroups", "deny");
        if (!write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    return mount("none", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "size=64k,mode=755") == 0;
}

// "<PRI>Mmm dd hh:mm:ss ident[pid]: text" -> priority and text.
SyslogRecord parse_datagram(std::string datagram)
{
    if (!datagram.empty() && datagram.back() == '\0')
        datagram.pop_back();
    SyslogRecord record{-2, datagram};
    size_t close_angle = datagram.find('>');
    size_t text_start = datagram.find("]: ");
    if (datagram[0] == '<' && close_angle != std::string::npos && text_start != std::string::npos) {
        record.priority = std::stoi(datagram.substr(1, close_angle - 1));
        record.text = datagram.substr(text_start + 3);
    }
    return record;
}

[[noreturn]] void run_child(int pipe_fd, const std::function<void(std::string &, int &)> &scenario)
{
    if (!enter_private_dev())
        _exit(EXIT_NO_NAMESPACE);
    int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "/dev/log");
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        _exit(2);

    // Drains the socket while the scenario logs, so that a full datagram
    // queue can never block the logging thread.
    std::thread receiver([listener, pipe_fd] {
        std::vector<char> buffer(65536);
        for (;;) {
            ssize_t size = recv(listener, buffer.data(), buffer.size(), 0);
            if (size < 0 && errno == EINTR)
                continue;
            if (size < 0)
                return;
            std::string datagram(buffer.data(), size_t(size));
            if (datagram == END_MARK)
                return;
            SyslogRecord record = parse_datagram(datagram);
            send_chunk(pipe_fd, record.priority, record.text);
        }
    });

    std::string notes;
    int line = 0;
    scenario(notes, line);
    log_deinit();
    int sender = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sendto(sender, END_MARK, strlen(END_MARK), 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
    receiver.join();
    send_chunk(pipe_fd, -1, notes);
    send_chunk(pipe_fd, -3, std::to_string(line));
    _exit(0);
}

// Runs the scenario in the child and returns the syslog records it produced;
// *notes and *line receive what the scenario noted there (the library's state,
// the source line of its first message).
std::vector<SyslogRecord> capture_syslog(const std::function<void(std::string &, int &)> &scenario,
                                         std::string *notes, int *line)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return {};
    }
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        run_child(fds[1], scenario);
    }
    close(fds[1]);

    std::vector<SyslogRecord> records;
    std::string stream;
    char buffer[8192];
    for (;;) {
        ssize_t size = read(fds[0], buffer, sizeof buffer);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            break;
        stream.append(buffer, size_t(size));
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == EXIT_NO_NAMESPACE) {
        ADD_FAILURE() << "no private mount namespace available for a local /dev/log";
        return {};
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "scenario child status " << status;

    size_t at = 0;
    while (at + 8 <= stream.size()) {
        int priority;
        uint32_t length;
        memcpy(&priority, stream.data() + at, sizeof priority);
        memcpy(&length, stream.data() + at + 4, sizeof length);
        std::string text = stream.substr(at + 8, length);
        at += 8 + length;
        if (priority == -1)
            *notes = text;
        else if (priority == -3)
            *line = std::stoi(text);
        else
            records.push_back({priority, text});
    }
    return records;
}

std::string origin(int line)
{
    return "log_syslog_test.cpp:" + std::to_string(line) + " ";
}

bool setup(const char *setting)
{
    const char *settings[] = {setting};
    return log_setup(settings, 1);
}

TEST(LogSyslog, SyslogNameAndItsAbbreviationsSelectSyslog)
{
    std::string notes;
    int line = 0;
    auto records = capture_syslog(
        [](std::string &notes, int &line) {
            for (const char *setting : {"syslog=INFO", "sys=INFO", "sy=INFO"}) {
                bool ok = setup(setting);
                notes += std::string(setting) + (ok && log_backends[0].log == log_syslog &&
                                                         log_backends[0].close == log_syslog_close
                                                     ? " syslog;"
                                                     : " other;");
                line = __LINE__ + 1;
                LOG_INFO("via %s\n", setting);
                log_deinit();
            }
        },
        &notes, &line);
    EXPECT_EQ(notes, "syslog=INFO syslog;sys=INFO syslog;sy=INFO syslog;");
    std::vector<SyslogRecord> expected = {{PRI_INFO, origin(line) + "via syslog=INFO"},
                                          {PRI_INFO, origin(line) + "via sys=INFO"},
                                          {PRI_INFO, origin(line) + "via sy=INFO"}};
    EXPECT_EQ(records, expected);
}

TEST(LogSyslog, FragmentsJoinIntoOneRecordOnceTheNewlineArrives)
{
    std::string notes;
    int first = 0;
    auto records = capture_syslog(
        [](std::string &, int &first) {
            setup("syslog=DEBUG");
            first = __LINE__ + 1;
            LOG_INFO("part one, ");
            LOG_WARN("part %s\n", "two");
            LOG_ERR("failed %d\n", 3);
            LOG_CRIT("a\nb\nc");
            LOG_INFO(" d\n");
            LOG_ALWAYS("always\n");
        },
        &notes, &first);
    std::vector<SyslogRecord> expected = {
        {PRI_WARNING, origin(first) + "part one, part two"},
        {PRI_ERR, origin(first + 2) + "ERR failed 3"},
        {PRI_CRIT, origin(first + 3) + "CRIT a"},
        {PRI_CRIT, "b"},
        {PRI_INFO, "c d"},
        {PRI_INFO, origin(first + 5) + "always"},
    };
    EXPECT_EQ(records, expected);
}

TEST(LogSyslog, EachThreadKeepsItsOwnLineAndAnOrphanIsSentAtThreadEnd)
{
    std::string notes;
    int first = 0;
    auto records = capture_syslog(
        [](std::string &, int &first) {
            setup("syslog=INFO");
            first = __LINE__ + 1;
            LOG_INFO("alpha ");
            std::thread([] { LOG_INFO("beta\n"); }).join();
            LOG_INFO("omega\n");
            std::thread([] { LOG_INFO("orphan"); }).join();
        },
        &notes, &first);
    std::vector<SyslogRecord> expected = {
        {PRI_INFO, origin(first + 1) + "beta"},
        {PRI_INFO, origin(first) + "alpha omega"},
        {PRI_INFO, origin(first + 3) + "orphan"},
    };
    EXPECT_EQ(records, expected);
}

TEST(LogSyslog, ConcurrentFragmentsAreNeitherMixedNorLost)
{
    constexpr int threads = 4;
    constexpr int lines = 100;
    std::string notes;
    int unused_line = 0;
    auto records = capture_syslog(
        [](std::string &, int &) {
            setup("syslog=INFO");
            std::vector<std::thread> loggers;
            for (int t = 0; t < threads; t++) {
                loggers.emplace_back([t] {
                    for (int i = 0; i < lines; i++) {
                        LOG_INFO("t%d-%d begins ", t, i);
                        LOG_INFO("t%d-%d ends\n", t, i);
                    }
                });
            }
            for (auto &logger : loggers)
                logger.join();
        },
        &notes, &unused_line);
    ASSERT_EQ(records.size(), size_t(threads * lines));
    std::vector<int> next(threads, 0);
    for (const auto &record : records) {
        int t = -1, i = -1, t2 = -2, i2 = -2;
        ASSERT_EQ(sscanf(record.text.c_str(), "log_syslog_test.cpp:%*d t%d-%d begins t%d-%d ends", &t, &i, &t2, &i2),
                  4)
            << record;
        ASSERT_TRUE(t >= 0 && t < threads) << record;
        EXPECT_EQ(t, t2) << record;
        EXPECT_EQ(i, i2) << record;
        EXPECT_EQ(i, next[t]++) << record;  // in order, none lost
    }
}

int payload_line;
void log_payload(const std::string &payload)
{
    payload_line = __LINE__ + 1;
    LOG_INFO("%s\n", payload.c_str());
}

TEST(LogSyslog, TextOf4095IsSentWholeAndLongerIsTruncatedWithNotice)
{
    std::string notes;
    int line = 0;
    auto records = capture_syslog(
        [](std::string &, int &line) {
            setup("syslog=INFO");
            log_payload("probe");
            line = payload_line;
            // The text after the stamp: origin, payload, newline.
            size_t room = 4095 - origin(payload_line).size() - 1;
            log_payload(std::string(room, 'x'));
            log_payload(std::string(room + 1, 'y'));
            LOG_INFO("after\n");
        },
        &notes, &line);
    ASSERT_EQ(records.size(), 5u);
    std::string prefix = origin(line);
    size_t room = 4095 - prefix.size() - 1;
    EXPECT_EQ(records[1], (SyslogRecord{PRI_INFO, prefix + std::string(room, 'x')}));
    std::string truncated = prefix + std::string(room + 1, 'y');
    EXPECT_EQ(truncated.size(), 4095u);
    EXPECT_EQ(records[2], (SyslogRecord{PRI_WARNING, "Log message longer than 4096 characters, truncated (began with " +
                                                         truncated.substr(0, 60) + ")"}));
    EXPECT_EQ(records[3], (SyslogRecord{PRI_INFO, truncated}));
    // The truncated line ended there: the next message is a line of its own.
    EXPECT_EQ(records[4].text.substr(records[4].text.size() - 6), " after");
    EXPECT_NE(records[4].text.find("log_syslog_test.cpp:"), std::string::npos);
}

void call_log_syslog_directly(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    log_syslog(nullptr, LOG_LEVEL_ERR, format, int(strlen(format) + 1), ap);
    va_end(ap);
}

TEST(LogSyslog, LevelsGateRecordsAndDirectCallsAreFlagged)
{
    std::string notes;
    int first = 0;
    auto records = capture_syslog(
        [](std::string &, int &first) {
            setup("syslog=ERR");
            first = __LINE__ + 1;
            LOG_WARN("not sent\n");
            LOG_ALWAYS("not sent either\n");
            LOG_ERR("sent\n");
            call_log_syslog_directly("direct %d", 7);
        },
        &notes, &first);
    std::vector<SyslogRecord> expected = {
        {PRI_ERR, origin(first + 2) + "ERR sent"},
        {PRI_WARNING, "Function log_syslog should never be called directly"},
        {PRI_ERR, "direct 7"},
    };
    EXPECT_EQ(records, expected);
}

} // namespace
