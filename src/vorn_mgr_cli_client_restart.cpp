// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_restart.cpp - vornmgrctl's side of a request: the
// restart confirmation, the preparation scripts of a restart, and the exchange
// with the manager over the operator socket.

#include "unique_fd.h"
#include "vorn_mgr_cli_client.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Up to this many bytes are peeked to tell a closed connection from a read
// that merely returned nothing.
constexpr size_t PEEK_LEN = 40;

// Ends the tool after closing the socket and reporting `message` with the
// system error text of the failure.
[[noreturn]] void vornmgr_fail_on_socket(int fd, const char *message)
{
    const int saved_errno = errno;
    close(fd);
    errno = saved_errno;
    perror(message);
    exit(VORNMGRCTL_EXIT_FAILURE);
}

// Reads exactly `len` bytes, judging every read; ends the tool on failure.
void vornmgr_read_exactly(int fd, char *buf, size_t len)
{
    size_t received = 0;
    while (received < len) {
        const ssize_t got = read(fd, buf + received, len - received);
        if (got < 0 && errno == EINTR)
            continue;
        vornmgr_handle_sock_ret(fd, static_cast<int>(got));
        if (got > 0)
            received += static_cast<size_t>(got);
    }
}

// Runs between the connect and the request, so that nothing is prepared for
// a restart that no manager could receive.
void vornmgr_prepare_restart(vorn_mgr_cli_cmd_t cmd)
{
    if (cmd != WARMBOOT && cmd != FASTBOOT)
        return;
    vornmgr_run_command("/usr/bin/python3 /usr/lib/norvane/pelmar.py");
    if (cmd != WARMBOOT)
        return;
    if (start_mode & REBOOT_WARM) {
        vornmgr_run_command("/usr/bin/python3 /usr/lib/norvane/dranvik.py");
        return;
    }
    // State saved by an earlier warm restart is stale once the system ran in
    // another mode.
    vornmgr_run_command("rm -f /var/tmp/.ip_neigh.batch");
    vornmgr_run_command("rm -f /var/tmp/.bridge_fdb_issu.batch");
}

struct line_buffer {
    char *text = nullptr;
    size_t capacity = 0;
    ~line_buffer() { free(text); }
};

} // namespace

bool vornmgr_confirm_restart(vorn_mgr_cli_cmd_t cmd)
{
    std::array<char, VORNMGR_TEXT_BUF_LEN> mode_text{};

    printf(" System will restart");
    if (vornmgr_marker_present(VORNMGR_UPGRADE_MARKER))
        printf(" (upgraded)");

    const bool curr_capacity_full = !(start_mode & REBOOT_WARM);
    const bool req_capacity_full = cmd != WARMBOOT;
    if (curr_capacity_full != req_capacity_full) {
        if (cmd == WARMBOOT) {
            printf("\n Transition to warm boot will halve capacity (current mode is %s)",
                   mode_to_str(start_mode, mode_text.data()));
            printf("\n System will start from a cold reset. Subsequent warm boots will be hitless");
        } else {
            printf("\n Transition from warm mode will disable hitless restart (current mode is %s)",
                   mode_to_str(start_mode, mode_text.data()));
        }
    }
    printf("\n Do you wish to continue? [Y/n]: ");
    fflush(stdout);

    line_buffer line;
    for (;;) {
        ssize_t len = getline(&line.text, &line.capacity, stdin);
        if (len < 0)
            return false;
        // A last answer without its newline counts as if it had one.
        if (line.text[len - 1] == '\n')
            line.text[--len] = '\0';
        if (len == 0)
            return true;
        if (len == 1) {
            const int answer = tolower(static_cast<unsigned char>(line.text[0]));
            if (answer == 'y')
                return true;
            if (answer == 'n') {
                printf("\n Aborting restart\n");
                return false;
            }
        }
        printf(" Please enter [Y/n]); ");
        fflush(stdout);
    }
}

bool vornmgr_handle_sock_ret(int fd, int err)
{
    if (err > 0)
        return true;
    if (err < 0)
        vornmgr_fail_on_socket(fd, "read error");

    std::array<char, PEEK_LEN> peek{};
    if (recv(fd, peek.data(), peek.size(), MSG_PEEK | MSG_DONTWAIT) != 0)
        return true;
    // No call failed: name what happened rather than print a stale error.
    errno = ECONNRESET;
    vornmgr_fail_on_socket(fd, "server socket closed");
}

void vornmgr_send_command(vorn_mgr_cli_cmd_t cmd)
{
    // Not inherited by the preparation scripts: the manager must see the
    // connection end when the tool ends.
    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        perror("creating socket error");
        exit(VORNMGRCTL_EXIT_FAILURE);
    }

    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, VORNMGR_CLI_SOCKET_PATH, sizeof addr.sun_path - 1);
    if (connect(sock.get(), reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr) != 0) {
        perror("error connecting to vornmgrd");
        exit(VORNMGRCTL_EXIT_FAILURE);
    }

    vornmgr_prepare_restart(cmd);

    // MSG_NOSIGNAL: a manager that already closed the connection is a write
    // error to report, not a signal that kills the tool silently.
    const vorn_mgr_cli_msg_t request{cmd};
    const int64_t sent_ms = vornmgr_now_ms();
    if (send(sock.get(), &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
        perror("write error");
        exit(VORNMGRCTL_EXIT_FAILURE);
    }

    // The socket is handed to the reads below, which close it before ending
    // the tool; exit() does not unwind, so `sock` never closes it twice.
    const int fd = sock.release();
    std::array<char, VORNMGR_CLI_BUF_LEN> resp_buf{};
    bool text_received = false;
    for (;;) {
        // A header split over several reads is put together rather than
        // judged on a part of it.
        vornmgr_read_exactly(fd, resp_buf.data(), VORNMGR_CLI_RESP_HDR_LEN);
        vorn_mgr_cli_resp_t header;
        memcpy(&header, resp_buf.data(), sizeof header);

        if (header.status.cmd == RESP_OVER) {
            close(fd);
            exit(vornmgr_end_of_answer(cmd, text_received, sent_ms));
        }
        if ((cmd == SHOW || cmd == SHOW_JSON) && header.status.cmd == SHOW_IN_PROGRESS) {
            // The text and its terminator must fit the buffer; a length the
            // manager can never send means the stream cannot be trusted.
            if (header.len < VORNMGR_CLI_RESP_HDR_LEN ||
                static_cast<size_t>(header.len - VORNMGR_CLI_RESP_HDR_LEN) >= resp_buf.size()) {
                std::array<char, 64> message{};
                snprintf(message.data(), message.size(), "invalid response length %d", header.len);
                errno = EPROTO;
                vornmgr_fail_on_socket(fd, message.data());
            }
            const size_t text_len = static_cast<size_t>(header.len - VORNMGR_CLI_RESP_HDR_LEN);
            vornmgr_read_exactly(fd, resp_buf.data(), text_len);
            resp_buf[text_len] = '\0';
            fwrite(resp_buf.data(), 1, text_len, stdout);
            text_received = text_received || text_len > 0;
            continue;
        }

        std::array<char, 80> message{};
        snprintf(message.data(), message.size(), "unxpected response 0x%x to request 0x%x",
                 static_cast<unsigned>(header.status.cmd), static_cast<unsigned>(cmd));
        // The request's outcome is unknown: a failure, like a broken stream.
        errno = EPROTO;
        vornmgr_fail_on_socket(fd, message.data());
    }
}
