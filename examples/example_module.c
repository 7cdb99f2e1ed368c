// SPDX-License-Identifier: Apache-2.0
/*
 * example_module.c - how a daemon of the switch lives with the lifecycle
 * manager through libvornmgr: register, report load and init complete, answer
 * the broadcasts it owes an answer, unregister on SIGTERM.
 * Build: cc example_module.c $(pkg-config --cflags --libs libvornmgr)
 */
#include "vorn_mgr_intf.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static Module my_mod = STP;
static volatile sig_atomic_t quit;

/* Sends one single-message package and returns the reply's size (-1: failed). */
static int send_msg(State type, const void *payload, int payload_len)
{
    char req[VORNMGR_MAX_PKG_LEN], reply[VORNMGR_MAX_PKG_LEN];
    int32_t total = 12 + payload_len, len = 8 + payload_len, t = type;
    memcpy(req, &total, 4);
    memcpy(req + 4, &t, 4);
    memcpy(req + 8, &len, 4);
    memcpy(req + 12, payload, (size_t)payload_len);
    int got = vornmgr_send(my_mod, total, req, sizeof reply, reply);
    if (got < 0)
        fprintf(stderr, "example: %s failed: %s\n", mod_state_to_str(type), strerror(errno));
    return got;
}

/* Called on the library's thread, one broadcast package at a time. */
static int on_broadcast(int len, void *buf)
{
    int32_t total, type, msg_len;
    const char *pkg = buf;
    memcpy(&total, pkg, 4);
    for (int off = 4; off + 8 <= total && off + 8 <= len; off += msg_len) {
        memcpy(&type, pkg + off, 4);
        memcpy(&msg_len, pkg + off + 4, 4);
        if (msg_len < 8 || off + msg_len > total)
            break;
        if (type == GO_DOWN) { /* every module answers every GO_DOWN */
            module_mode_t order;
            memcpy(&order, pkg + off + 8, sizeof order);
            module_down_status_t answer = {order.mod, {my_mod, order.mode, order.state}, NO_ERROR};
            send_msg(GO_DOWN, &answer, sizeof answer);
        } else if (type == KEEP_ALIVE_REQ) {
            keepalive_response_t answer = {0, {{my_mod, REBOOT_COLD, UP}, NO_ERROR}};
            memcpy(&answer.seq, pkg + off + 8, 4);
            send_msg(KEEP_ALIVE_RESP, &answer, sizeof answer);
        } else if (type == MODULE_STATUS_REQ) {
            module_status_t status = {{my_mod, REBOOT_COLD, UP}, NO_ERROR};
            send_msg(MODULE_STATUS_RESP, &status, sizeof status);
        }
    }
    return 1;
}

static void on_signal(int signum)
{
    (void)signum;
    quit = 1;
}

int main(void)
{
    signal(SIGTERM, on_signal);
    if (!vornmgr_register_cb(my_mod, 1, &my_mod, on_broadcast)) {
        fprintf(stderr, "example: cannot register: %s\n", strerror(errno));
        vornmgr_unregister(my_mod);
        return 1;
    }
    module_status_t status = {{my_mod, REBOOT_COLD, LOAD_COMPLETE}, NO_ERROR};
    if (send_msg(LOAD_COMPLETE, &status, sizeof status) < 0)
        return 1;
    status.mode.state = INIT_COMPLETE;
    if (send_msg(INIT_COMPLETE, &status, sizeof status) < 0)
        return 1;
    while (!quit)
        sleep(1);
    vornmgr_unregister(my_mod); /* outside the handler: the library is not signal-safe */
    return 0;
}
