// SPDX-License-Identifier: Apache-2.0
// Whose is the connection a message came on. Any local user may bind the
// manager's ports while the manager is down, and anything said there would
// otherwise be taken for the manager's word; the manager runs as root, so
// only a connection whose other end is root's is listened to.

#include "vornmgr_client.h"

#include "../vorn_sock_diag.h"

#include <sys/stat.h>

namespace {

bool vornmgr_same_socket(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

} // namespace

vornmgr_peer_t vornmgr_peer_judge(vornmgr_peer_cache_t &cache, int fd)
{
    // The number alone could be a closed connection's, reused by a new one:
    // the socket's inode tells them apart. ZeroMQ names the fd, not the
    // connection, so a package still queued from a connection that closed
    // before it was read is judged by whatever holds the number now.
    // A number no longer open is nobody's; not reported, or every package
    // queued from that connection would repeat the line.
    struct stat before;
    if (fd < 0 || fstat(fd, &before) != 0 || !S_ISSOCK(before.st_mode))
        return {VORNMGR_PEER_UNKNOWN, false, -1};
    vornmgr_peer_cache_t::slot_t &slot = cache.slots[static_cast<unsigned>(fd) % vornmgr_peer_cache_t::SLOTS];
    const bool known = slot.fd == fd && slot.device == before.st_dev && slot.inode == before.st_ino;
    if (known && slot.owner != VORNMGR_PEER_UNKNOWN)
        return {slot.owner, false, slot.uid};

    // Asked again while unknown: a failed look-up must not shut out the
    // manager for the rest of the connection. Reported once all the same.
    vorn_socket_owner_t owner{};
    const bool found = vorn_tcp_peer_owner(fd, &owner);
    struct stat after;
    if (fstat(fd, &after) != 0 || !vornmgr_same_socket(before, after))
        return {VORNMGR_PEER_UNKNOWN, !known, -1};
    slot.fd = fd;
    slot.device = before.st_dev;
    slot.inode = before.st_ino;
    slot.uid = found ? static_cast<long>(owner.uid) : -1;
    slot.owner = !found ? VORNMGR_PEER_UNKNOWN : owner.uid == 0 ? VORNMGR_PEER_ROOT : VORNMGR_PEER_OTHER;
    return {slot.owner, !known, slot.uid};
}
