// SPDX-License-Identifier: Apache-2.0
// vorn_sock_diag.h - who owns a TCP socket on this machine, asked of the
// kernel's socket diagnostics (NETLINK_SOCK_DIAG with inet_diag, as ss -e
// does). The manager and its modules talk over the loopback interface, where
// both ends of every connection are sockets of this machine: each side can
// learn the user behind the other from the connection's own addresses.
// Shared by vornmgrd and libvornmgr; it never logs.
#ifndef VORN_SOCK_DIAG_H
#define VORN_SOCK_DIAG_H

#include <netinet/in.h>
#include <sys/types.h>

// The owner of one socket, as the kernel records it.
typedef struct vorn_socket_owner_t {
    uid_t uid;
    unsigned long inode;  // the socket's inode, to find the process that holds it
} vorn_socket_owner_t;

// The socket at the other end of the connected TCP socket `fd`: the one
// whose own address is fd's peer and whose peer is fd's own address. False,
// with errno set, when fd is not a connected IPv4 TCP socket or the other end
// is not on this machine (ENOENT).
bool vorn_tcp_peer_owner(int fd, vorn_socket_owner_t *owner);

// The socket listening on the IPv4 address and port given (network byte
// order); false with errno ENOENT when nobody listens there.
bool vorn_tcp_listener_owner(in_addr_t address, in_port_t port, vorn_socket_owner_t *owner);

// The first process found holding the socket with this inode (it walks
// /proc: for a log line, not for every request); -1 when none is found.
pid_t vorn_socket_inode_pid(unsigned long inode);

#endif // VORN_SOCK_DIAG_H
