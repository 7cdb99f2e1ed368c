// SPDX-License-Identifier: Apache-2.0
// The owners of TCP sockets as the kernel's socket diagnostics give them:
// both ends of a loopback connection, a listener, and nobody at a free port.

#include "unique_fd.h"
#include "vorn_sock_diag.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

TEST(SocketOwner, BothEndsOfALoopbackConnectionAndItsListener)
{
    unique_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.get(), 1), 0);
    ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr *>(&address), &len), 0);

    const unique_fd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const unique_fd server(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_TRUE(server);

    // Each end finds the other: the inode is the other end's, not its own.
    vorn_socket_owner_t owner{};
    struct stat client_socket {};
    ASSERT_EQ(fstat(client.get(), &client_socket), 0);
    ASSERT_TRUE(vorn_tcp_peer_owner(server.get(), &owner)) << strerror(errno);
    EXPECT_EQ(owner.uid, geteuid());
    EXPECT_EQ(owner.inode, client_socket.st_ino);
    EXPECT_EQ(vorn_socket_inode_pid(owner.inode), getpid());
    ASSERT_TRUE(vorn_tcp_peer_owner(client.get(), &owner)) << strerror(errno);
    EXPECT_NE(owner.inode, client_socket.st_ino);

    ASSERT_TRUE(vorn_tcp_listener_owner(address.sin_addr.s_addr, address.sin_port, &owner));
    struct stat listening {};
    ASSERT_EQ(fstat(listener.get(), &listening), 0);
    EXPECT_EQ(owner.inode, listening.st_ino);

    // Nobody listens on the port once the listener is gone.
    const in_port_t port = address.sin_port;
    listener.reset();
    EXPECT_FALSE(vorn_tcp_listener_owner(address.sin_addr.s_addr, port, &owner));
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
