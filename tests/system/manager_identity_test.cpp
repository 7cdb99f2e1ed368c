// SPDX-License-Identifier: Apache-2.0
// Modules listen only to the real manager: a user who binds the manager's
// ports while it is down can neither answer a registration nor take a module
// down with forged orders. The modules are simulators, real clients of
// libvornmgr.

#include "vorn_mgr_intf.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>

using namespace vorn_test;

namespace {

// A fake manager run as nobody: it answers ACK to every request and prints
// it, prints each subscription, and publishes its orders (given as hex, one
// package each) whenever a line comes on its standard input.
const char *const SQUATTER = R"(
import sys, zmq
ack, *orders = (bytes.fromhex(h) for h in sys.argv[1:])
context = zmq.Context()
rep = context.socket(zmq.REP); rep.bind("tcp://127.0.0.1:49002")
pub = context.socket(zmq.XPUB); pub.bind("tcp://127.0.0.1:49012")
print("bound", flush=True)
poller = zmq.Poller()
for source in (rep, pub, sys.stdin):
    poller.register(source, zmq.POLLIN)
while True:
    for source, _ in poller.poll():
        if source is rep:
            print("request", rep.recv().hex(), flush=True)
            rep.send(ack)
        elif source is pub:
            if pub.recv()[:1] == b"\x01":
                print("subscribed", flush=True)
        elif sys.stdin.readline():
            for order in orders:
                pub.send(order)
            print("published", flush=True)
        else:
            sys.exit(0)
)";

const std::vector<std::string> AS_NOBODY = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};

std::string hex_of(const Bytes &bytes)
{
    std::string text = to_hex(bytes);
    std::erase(text, ' ');
    return text;
}

int count_of(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

std::unique_ptr<Process> start_manager()
{
    NotifySocket notify;
    auto manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                             ProcessOptions{.env = {notify.env()}});
    EXPECT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
    return manager;
}

TEST(ManagerIdentity, ModulesHearNeitherAnswersNorOrdersOfASquatterThenFindTheManager)
{
    ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
    std::vector<std::string> probe = AS_NOBODY;
    probe.push_back("true");
    if (Process(probe).wait_exit() != exited_with(0))
        GTEST_SKIP() << "cannot switch to uid 65534 here";
    mkdir("/etc/norvane", 0755);
    write_file("/etc/norvane/vornmgrd.conf", "boot_mode=warm\n");
    auto manager = start_manager();
    Process bgp({bin_path("vornmgr-modsim"), "bgp"});
    ASSERT_TRUE(bgp.wait_for_stdout("INIT_COMPLETE: answered up")) << bgp.stderr_text();
    manager->kill(SIGKILL);
    ASSERT_EQ(manager->wait_exit(), killed_by(SIGKILL));
    const size_t bgp_before = bgp.stdout_text().size();

    std::vector<std::string> squatter_argv = AS_NOBODY;
    for (const char *part : {"/usr/bin/python3", "-c", SQUATTER})
        squatter_argv.push_back(part);
    for (const Bytes &package : {pkg(vorn_test::msg(ACK)), pkg(vorn_test::msg(GO_DOWN, {BGP, REBOOT_COLD, GO_DOWN})),
                                 pkg(vorn_test::msg(DOWN, {BGP, REBOOT_COLD, DOWN}))})
        squatter_argv.push_back(hex_of(package));
    Process squatter(squatter_argv, ProcessOptions{.stdin_pipe = true, .cwd = "/"});
    ASSERT_TRUE(squatter.wait_for_stdout("bound\n")) << squatter.stderr_text();

    // The registered module's subscriber finds the squatter: its orders are
    // dropped, with one line for the connection however many come.
    ASSERT_TRUE(squatter.wait_for_stdout("subscribed\n"));
    squatter.write_stdin("publish\n");
    const std::string dropped = "libvornmgr: the process at tcp://127.0.0.1:49012 is not root's (uid 65534): "
                                "not the manager, its broadcasts are dropped\n";
    ASSERT_TRUE(bgp.wait_for_stderr(dropped)) << bgp.stderr_text();
    squatter.write_stdin("publish\n");
    ASSERT_TRUE(wait_until([&] { return count_of(squatter.stdout_text(), "published\n") == 2; }));

    // A module starting now is answered by the squatter alone: refused, and
    // tried again.
    Process stp({bin_path("vornmgr-modsim"), "--register-wait=60", "stp"});
    const std::string stp_register = "request " + hex_of(pkg({MODULE_REGISTER, 12, STP})) + "\n";
    ASSERT_TRUE(wait_until([&] { return count_of(squatter.stdout_text(), stp_register) >= 2; }))
        << squatter.stdout_text() << stp.stderr_text();
    EXPECT_TRUE(stp.wait_for_stderr(
        "stp: the process at tcp://127.0.0.1:49002 is not root's: not the manager, trying again in 1 s\n"));

    squatter.close_stdin();
    ASSERT_EQ(squatter.wait_exit(), exited_with(0)) << squatter.stderr_text();
    manager = start_manager();
    EXPECT_TRUE(stp.wait_for_stdout("INIT_COMPLETE: answered up", 20s)) << stp.stderr_text();
    // Heard after the squatter's orders, which were queued before it.
    EXPECT_TRUE(bgp.wait_for_stdout("MODULE_STATUS_REQ: answered warm, up", 20s, bgp_before)) << bgp.stdout_text();

    EXPECT_EQ(count_of(bgp.stderr_text(), dropped), 1) << bgp.stderr_text();
    for (const Process *module : {&bgp, &stp}) {
        const std::string heard = module->stdout_text().substr(module == &bgp ? bgp_before : 0);
        EXPECT_EQ(heard.find("DOWN for bgp"), std::string::npos) << heard;
    }
    EXPECT_EQ(count_of(stp.stdout_text(), "registered with vornmgrd\n"), 1);
    // Nothing but stp's registrations went to the squatter: no answer to its
    // orders, and no handshake after a registration it answered.
    const std::string said = squatter.stdout_text();
    EXPECT_EQ(count_of(said, "request "), count_of(said, stp_register)) << said;
}

} // namespace
