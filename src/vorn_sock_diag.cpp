// SPDX-License-Identifier: Apache-2.0
// vorn_sock_diag.cpp - the owners of TCP sockets, from the kernel's socket
// diagnostics.

#include "vorn_sock_diag.h"

#include "unique_fd.h"

#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct vorn_dir_closer {
    void operator()(DIR *dir) const { closedir(dir); }
};
using unique_dir = std::unique_ptr<DIR, vorn_dir_closer>;

struct vorn_diag_request_t {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

// Asks the kernel one question and hands each socket of the answer to
// `found`, which returns true to stop. A dump lists every socket of the
// family in the given states; an exact request names one socket by its
// addresses. False with errno set when the question cannot be asked or the
// kernel refuses it (ENOENT: no such socket); true when `found` stopped.
template <typename Found>
bool vorn_diag_ask(const inet_diag_req_v2 &question, bool dump, Found found)
{
    const unique_fd sock(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!sock)
        return false;
    // The kernel answers at once; the bound only guards against the unforeseen.
    const timeval bound{1, 0};
    setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    vorn_diag_request_t request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = static_cast<__u16>(NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0));
    request.body = question;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(sock.get(), &request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&kernel), sizeof kernel) !=
        static_cast<ssize_t>(sizeof request))
        return false;
    alignas(nlmsghdr) char buf[16384];
    for (;;) {
        ssize_t got = recv(sock.get(), buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EPROTO;
            return false;
        }
        for (auto *header = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(header, static_cast<unsigned>(got));
             header = NLMSG_NEXT(header, got)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                errno = ENOENT;
                return false;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                const auto *error = static_cast<const nlmsgerr *>(NLMSG_DATA(header));
                errno = error->error != 0 ? -error->error : ENOENT;
                return false;
            }
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
                continue;
            if (found(*static_cast<const inet_diag_msg *>(NLMSG_DATA(header))))
                return true;
            if (!dump) {
                errno = ENOENT;
                return false;
            }
        }
    }
}

inet_diag_req_v2 vorn_diag_question(sa_family_t family, unsigned states)
{
    inet_diag_req_v2 question{};
    question.sdiag_family = static_cast<__u8>(family);
    question.sdiag_protocol = IPPROTO_TCP;
    question.idiag_states = states;
    question.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    question.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return question;
}

} // namespace

bool vorn_tcp_peer_owner(int fd, vorn_socket_owner_t *owner)
{
    sockaddr_in own{};
    sockaddr_in peer{};
    socklen_t own_len = sizeof own;
    socklen_t peer_len = sizeof peer;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&own), &own_len) != 0 ||
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &peer_len) != 0)
        return false;
    if (own.sin_family != AF_INET || peer.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return false;
    }
    // The other end's own address is our peer, and its peer is us.
    inet_diag_req_v2 question = vorn_diag_question(AF_INET, ~0u);
    question.id.idiag_src[0] = peer.sin_addr.s_addr;
    question.id.idiag_sport = peer.sin_port;
    question.id.idiag_dst[0] = own.sin_addr.s_addr;
    question.id.idiag_dport = own.sin_port;
    return vorn_diag_ask(question, false, [&](const inet_diag_msg &socket) {
        // A lookup that found no such connection may fall back on a listener
        // at that address: only the connection itself is an answer.
        if (socket.id.idiag_dport != own.sin_port || socket.id.idiag_dst[0] != own.sin_addr.s_addr)
            return false;
        *owner = {socket.idiag_uid, socket.idiag_inode};
        return true;
    });
}

bool vorn_tcp_listener_owner(in_addr_t address, in_port_t port, vorn_socket_owner_t *owner)
{
    const auto matches = [&](const inet_diag_msg &socket) {
        if (socket.id.idiag_sport != port)
            return false;
        // IPv4 listeners on the address or on every address; IPv6 ones on
        // every address take IPv4 connections too.
        const bool any = socket.id.idiag_src[0] == 0 && socket.id.idiag_src[1] == 0 &&
                         socket.id.idiag_src[2] == 0 && socket.id.idiag_src[3] == 0;
        if (socket.idiag_family == AF_INET && socket.id.idiag_src[0] != address && !any)
            return false;
        if (socket.idiag_family == AF_INET6 && !any)
            return false;
        *owner = {socket.idiag_uid, socket.idiag_inode};
        return true;
    };
    if (vorn_diag_ask(vorn_diag_question(AF_INET, 1u << TCP_LISTEN), true, matches))
        return true;
    return vorn_diag_ask(vorn_diag_question(AF_INET6, 1u << TCP_LISTEN), true, matches);
}

pid_t vorn_socket_inode_pid(unsigned long inode)
{
    char wanted[64];
    snprintf(wanted, sizeof wanted, "socket:[%lu]", inode);
    const unique_dir proc(opendir("/proc"));
    if (!proc)
        return -1;
    while (const dirent *process = readdir(proc.get())) {
        char *end = nullptr;
        const long pid = strtol(process->d_name, &end, 10);
        if (pid <= 0 || *end != '\0')
            continue;
        char fd_dir[64];
        snprintf(fd_dir, sizeof fd_dir, "/proc/%ld/fd", pid);
        const unique_dir fds(opendir(fd_dir));
        if (!fds)
            continue;
        while (const dirent *fd = readdir(fds.get())) {
            char path[320];
            char target[64];
            snprintf(path, sizeof path, "%s/%s", fd_dir, fd->d_name);
            const ssize_t len = readlink(path, target, sizeof target - 1);
            if (len <= 0)
                continue;
            target[len] = '\0';
            if (strcmp(target, wanted) == 0)
                return static_cast<pid_t>(pid);
        }
    }
    return -1;
}
