// SPDX-License-Identifier: Apache-2.0
/*
 * example_module.c - how a daemon of the switch lives with the lifecycle
 * manager through libvornmgr: register, report load and init complete, answer
 * the broadcasts it owes an answer, unregister on SIGTERM.
 * Build: cc example_module.c $(pkg-config --cflags --libs libvornmgr)
 */
#include "vorn_mgr_intf.h"
#include "vorn_mgr_pkg.h"

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
    vornmgr_pkg_init(req, sizeof req);
    int total = vornmgr_pkg_add(req, sizeof req, type, payload, payload_len);
    int got = total < 0 ? -1 : vornmgr_send(my_mod, total, req, sizeof reply, reply);
    if (got < 0)
        fprintf(stderr, "example: %s failed: %s\n", mod_state_to_str(type), strerror(errno));
    return got;
}

/* Called on the library's thread, one broadcast package at a time. */
static int on_broadcast(int len, void *buf)
{
    int end = vornmgr_pkg_end(buf, len);
    vornmgr_pkg_message_t msg;
    for (int off = VORNMGR_PKG_HDR_LEN; vornmgr_pkg_read_message(buf, off, end, &msg) == VORNMGR_PKG_MESSAGE;
         off += msg.len) {
        module_mode_t order;
        int32_t seq;
        if (msg.type == GO_DOWN && vornmgr_pkg_read_payload(buf, &msg, &order, sizeof order)) {
            /* every module answers every GO_DOWN */
            module_down_status_t answer = {order.mod, {my_mod, order.mode, order.state}, NO_ERROR};
            send_msg(GO_DOWN, &answer, sizeof answer);
        } else if (msg.type == KEEP_ALIVE_REQ && vornmgr_pkg_read_payload(buf, &msg, &seq, sizeof seq)) {
            keepalive_response_t answer = {seq, {{my_mod, REBOOT_COLD, UP}, NO_ERROR}};
            send_msg(KEEP_ALIVE_RESP, &answer, sizeof answer);
        } else if (msg.type == MODULE_STATUS_REQ) {
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
