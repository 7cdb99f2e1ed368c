// SPDX-License-Identifier: Apache-2.0
// Who may speak on the module comm channel (vorn_mgr_access.h): the verdict
// for a user, the per-connection cache of verdicts, and naming whoever holds
// a port the manager needs.

#include "vorn_mgr_access.h"

#include "log.h"
#include "vorn_config_line.h"
#include "vorn_sock_diag.h"

#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

// The configuration's module_users value; guarded by access_lock, since the
// start-up writes it and the comm receive thread reads it.
std::mutex access_lock;
char module_users[VORN_CONFIG_MODULE_USERS_LEN] = "";
// "any": every request is served without asking who sent it, as before
// there was a rule. Read on every request, so an atomic of its own.
std::atomic<bool> module_users_any{false};

// What is known of one connection of the comm channel.
struct vornmgr_peer_t {
    unsigned long inode;  // the connection's socket; 0 when nothing is known
    bool allowed;
};
// By descriptor number. Comm receive thread only; it grows only when a
// connection arrives on a higher descriptor than any before.
std::vector<vornmgr_peer_t> peers;

// The user and group databases may need more room than a first guess; a
// lookup that still finds no room is taken as no entry.
constexpr size_t lookup_room_first = 4096;
constexpr size_t lookup_room_max = 1 << 20;

bool vornmgr_lookup_user(uid_t uid, passwd *entry, std::vector<char> &room)
{
    for (room.resize(lookup_room_first); room.size() <= lookup_room_max; room.resize(room.size() * 2)) {
        passwd *found = nullptr;
        const int error = getpwuid_r(uid, entry, room.data(), room.size(), &found);
        if (error != ERANGE)
            return error == 0 && found != nullptr;
    }
    return false;
}

bool vornmgr_lookup_group(const char *name, gid_t *gid)
{
    std::vector<char> room;
    for (room.resize(lookup_room_first); room.size() <= lookup_room_max; room.resize(room.size() * 2)) {
        group entry{};
        group *found = nullptr;
        const int error = getgrnam_r(name, &entry, room.data(), room.size(), &found);
        if (error == ERANGE)
            continue;
        if (error != 0 || found == nullptr)
            return false;
        *gid = found->gr_gid;
        return true;
    }
    return false;
}

// Every group of a user, its primary one included.
std::vector<gid_t> vornmgr_groups_of(const passwd &user)
{
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<size_t>(count));
            return groups;
        }
        // count now says how many there are.
        groups.resize(std::max(static_cast<size_t>(count), groups.size() * 2));
    }
}

bool vornmgr_in_group(const std::vector<gid_t> &groups, const char *name)
{
    gid_t gid = 0;
    return vornmgr_lookup_group(name, &gid) && std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// Finding the pid walks /proc, which a flood of connections must not make
// the comm receive thread do for each: at most once a second. Comm receive
// thread only.
constexpr std::chrono::seconds pid_lookup_pause{1};
std::chrono::steady_clock::time_point last_pid_lookup{};

// The log line of a refused connection; the pid only where one is found
// (the other end may have closed already).
void vornmgr_log_refused(uid_t uid, unsigned long inode)
{
    pid_t pid = -1;
    const auto now = std::chrono::steady_clock::now();
    if (last_pid_lookup.time_since_epoch().count() == 0 || now - last_pid_lookup >= pid_lookup_pause) {
        last_pid_lookup = now;
        pid = vorn_socket_inode_pid(inode);
    }
    if (pid > 0)
        LOG_WARN("refused module request from uid %u pid %d: not an allowed user\n", unsigned(uid), int(pid));
    else
        LOG_WARN("refused module request from uid %u: not an allowed user\n", unsigned(uid));
}

} // namespace

void vornmgr_set_module_users(const char *value)
{
    std::lock_guard<std::mutex> guard(access_lock);
    snprintf(module_users, sizeof module_users, "%s", value);
    module_users_any = strcmp(module_users, "any") == 0;
}

void vornmgr_log_module_users(void)
{
    char value[VORN_CONFIG_MODULE_USERS_LEN];
    vornmgr_get_module_users(value);
    if (strcmp(value, "any") == 0)
        LOG_INFO("module requests served from any local user (module_users=any)\n");
    else if (value[0] != '\0')
        LOG_INFO("module requests served from root, group %s and module_users=%s\n", VORNMGR_GROUP, value);
    else
        LOG_INFO("module requests served from root and group %s\n", VORNMGR_GROUP);
}

void vornmgr_get_module_users(char *value)
{
    std::lock_guard<std::mutex> guard(access_lock);
    memcpy(value, module_users, sizeof module_users);
}

bool vornmgr_module_user_allowed(uid_t uid)
{
    if (uid == 0)
        return true;
    char allowed[VORN_CONFIG_MODULE_USERS_LEN];
    vornmgr_get_module_users(allowed);
    if (strcmp(allowed, "any") == 0)
        return true;
    passwd user{};
    std::vector<char> room;
    // A uid without a name belongs to no group and matches no entry.
    if (!vornmgr_lookup_user(uid, &user, room))
        return false;
    const std::vector<gid_t> groups = vornmgr_groups_of(user);
    if (vornmgr_in_group(groups, VORNMGR_GROUP))
        return true;
    const char *at = allowed;
    char name[VORN_CONFIG_USER_NAME_LEN];
    bool is_group = false;
    while (vorn_config_next_module_user(&at, name, &is_group) == CONFIG_USER_ENTRY) {
        if (is_group ? vornmgr_in_group(groups, name) : strcmp(name, user.pw_name) == 0)
            return true;
    }
    return false;
}

bool vornmgr_module_peer_allowed(int fd)
{
    if (module_users_any.load(std::memory_order_relaxed))
        return true;
    // The socket's inode tells this connection from an earlier one that had
    // the same descriptor number.
    struct stat socket_entry {};
    if (fd < 0) {
        LOG_WARN("refused module request: the connection it came on is not known\n");
        return false;
    }
    // A request still queued from a connection that closed names a number
    // no longer open: nobody's, and not worth a line each.
    if (fstat(fd, &socket_entry) != 0)
        return false;
    const unsigned long inode = socket_entry.st_ino;
    const auto index = static_cast<size_t>(fd);
    if (index < peers.size() && peers[index].inode == inode)
        return peers[index].allowed;

    vorn_socket_owner_t owner{};
    if (!vorn_tcp_peer_owner(fd, &owner)) {
        // Not kept: the next request of the connection asks again. A sender
        // that already hung up is not worth a line.
        if (errno != ENOENT && errno != ENOTCONN)
            LOG_WARN("refused module request from an unknown sender: %s\n", strerror(errno));
        return false;
    }
    const bool allowed = vornmgr_module_user_allowed(owner.uid);
    if (!allowed)
        vornmgr_log_refused(owner.uid, owner.inode);
    if (index >= peers.size())
        peers.resize(index + 1, vornmgr_peer_t{0, false});
    peers[index] = {inode, allowed};
    return allowed;
}

void vornmgr_log_port_holder(const char *channel, const char *endpoint)
{
    // The caller's own report of the failure still reads errno.
    const int saved_errno = errno;
    // "tcp://<address>:<port>"
    const char *address_start = strstr(endpoint, "//");
    const char *port_start = strrchr(endpoint, ':');
    if (address_start == nullptr || port_start == nullptr || port_start < address_start)
        return;
    address_start += 2;
    char address_text[INET_ADDRSTRLEN] = "";
    snprintf(address_text, sizeof address_text, "%.*s", int(port_start - address_start), address_start);
    in_addr address{};
    const long port = strtol(port_start + 1, nullptr, 10);
    if (inet_pton(AF_INET, address_text, &address) != 1 || port <= 0 || port > 65535)
        return;

    vorn_socket_owner_t owner{};
    if (!vorn_tcp_listener_owner(address.s_addr, htons(static_cast<in_port_t>(port)), &owner)) {
        // A socket bound there without listening, or one connected from
        // that port, is not among the listeners.
        if (errno == ENOENT)
            LOG_ERR("%s port %s:%ld is in use by a socket that does not listen; its holder is not known\n", channel,
                    address_text, port);
        else
            LOG_ERR("%s port %s:%ld is in use; its holder cannot be asked for (%s)\n", channel, address_text, port,
                    strerror(errno));
        errno = saved_errno;
        return;
    }
    const pid_t pid = vorn_socket_inode_pid(owner.inode);
    if (pid > 0)
        LOG_ERR("%s port %s:%ld is held by uid %u pid %d\n", channel, address_text, port, unsigned(owner.uid),
                int(pid));
    else
        LOG_ERR("%s port %s:%ld is held by uid %u\n", channel, address_text, port, unsigned(owner.uid));
    errno = saved_errno;
}
