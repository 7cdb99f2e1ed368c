// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_access.h - who may speak to the manager on the module comm
// channel. The channel is a loopback TCP port that any local process can
// reach, and its requests unregister modules, answer take-downs, set the
// system's mode and are relayed to every module; so the manager serves only
// requests sent by root, by members (primary or supplementary, as the group
// database says) of the system group VORNMGR_GROUP, and by the users and
// groups the configuration's module_users names (vorn_config_line.h), or by
// anyone when it says "any". Anyone else is answered NACK, nothing changes,
// nothing is relayed, and the connection is logged once at WARN.
//
// The sender is known from the connection the request arrived on (its uid,
// from the kernel's socket diagnostics); the verdict is taken once per
// connection and kept for it.
#ifndef VORN_MGR_ACCESS_H
#define VORN_MGR_ACCESS_H

#include <sys/types.h>

// The system group whose members may send module requests; the Debian
// package creates it.
#define VORNMGR_GROUP "vornmgr"

// The configuration's module_users value (already checked by the reader);
// empty for none. Set while the manager starts, before the comm receive
// thread: verdicts already kept for connections are not taken again.
void vornmgr_set_module_users(const char *value);
// The value in force, into VORN_CONFIG_MODULE_USERS_LEN bytes.
void vornmgr_get_module_users(char *value);
// Says at INFO whom module requests are served from.
void vornmgr_log_module_users(void);

// True when `uid` may send module requests (root, the group, the configured
// users and groups). Asks the user and group databases: not for every request.
bool vornmgr_module_user_allowed(uid_t uid);

// True when the request that just arrived over the comm channel's
// connection `fd` (ZMQ_SRCFD) may be served. The first request of a
// connection looks its sender up; later ones reuse the verdict, kept by
// descriptor and socket inode so that a descriptor number reused by a new
// connection is looked up afresh. A refused connection is logged once:
// "refused module request from uid U pid P: not an allowed user". Comm
// receive thread only.
bool vornmgr_module_peer_allowed(int fd);

// After a channel failed to bind its endpoint ("tcp://127.0.0.1:49002")
// because the port is taken: logs at ERR which process holds it, "<channel>
// port 127.0.0.1:49002 is held by uid U pid P", or that no listener holds it.
void vornmgr_log_port_holder(const char *channel, const char *endpoint);

#endif // VORN_MGR_ACCESS_H
