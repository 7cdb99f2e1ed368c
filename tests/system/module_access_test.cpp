// SPDX-License-Identifier: Apache-2.0
// Who may speak on the module port. Any local process can reach
// 127.0.0.1:49002, so the manager serves only root, members of the group
// vornmgr and those module_users names: a request from anyone else is
// answered NACK, changes nothing that vornmgrctl --json shows, is never
// relayed, and its connection is logged once at WARN. A port another user
// squats is named when the manager cannot start.
//
// Peers of other users are python3 scripts (pyzmq) started through setpriv.

#include "vorn_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

using namespace vorn_test;
using json = nlohmann::json;

namespace {

// The replies as the peer script prints them.
const std::string ACK = "0c0000006b00000008000000\n";
const std::string NACK = "0c0000006c00000008000000\n";

// Sends each package given (to_hex) on one REQ socket, so one connection,
// and prints each reply in hex, one per line.
const char *const PEER_SCRIPT = R"(
import sys, zmq
sock = zmq.Context().socket(zmq.REQ)
sock.setsockopt(zmq.LINGER, 0)
sock.connect("tcp://127.0.0.1:49002")
for package in sys.argv[1:]:
    sock.send(bytes.fromhex(package))
    if not sock.poll(10000):
        sys.exit("no reply")
    print(sock.recv().hex(), flush=True)
)";

// Keeps a port bound and listening until killed.
const char *const SQUAT_SCRIPT = R"(
import socket, sys, time
sock = socket.socket()
sock.bind(("127.0.0.1", int(sys.argv[1])))
sock.listen()
print("listening", flush=True)
time.sleep(120)
)";

std::vector<std::string> as_user(const std::string &user, std::vector<std::string> command)
{
    std::vector<std::string> argv{"setpriv", "--reuid=" + user, "--regid=" + user};
    argv.push_back(user == "65534" ? "--clear-groups" : "--init-groups");
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

size_t count(const std::string &text, const std::string &what)
{
    size_t found = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        found++;
    return found;
}

class ModuleAccess : public ::testing::Test {
protected:
    std::unique_ptr<Process> manager;

    void SetUp() override { ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox"; }

    void start_manager(const std::string &config = "boot_mode=cold\n")
    {
        mkdir("/etc/norvane", 0755);
        write_file("/etc/norvane/vornmgrd.conf", config);
        NotifySocket notify;
        manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                            ProcessOptions{.env = {notify.env()}});
        ASSERT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
    }

    // The packages sent by `user` on one connection; the replies, one line each.
    static std::string send_as(const std::string &user, const std::vector<Bytes> &packages)
    {
        std::vector<std::string> command{VORN_PYTHON3, "-c", PEER_SCRIPT};
        for (const Bytes &package : packages)
            command.push_back(to_hex(package));
        Process peer(as_user(user, command));
        EXPECT_EQ(peer.wait_exit(30s), exited_with(0)) << peer.stderr_text();
        return peer.stdout_text();
    }

    // The status without what changes by itself as time passes.
    static json status()
    {
        Process ctl({bin_path("vornmgrctl"), "--json"});
        ctl.wait_exit(30s);
        json now = json::parse(ctl.stdout_text(), nullptr, false);
        if (now.is_object()) {
            now.erase("time");
            for (json &module : now["modules"])
                module.erase("up_time_s");
        }
        return now;
    }
};

TEST_F(ModuleAccess, RequestsOfAnotherUserAreRefusedAndChangeNothing)
{
    start_manager();
    FakeModule root;
    ASSERT_EQ(root.request(pkg(msg(7, {5}))), ints({12, 107, 8}));  // stp registers
    ASSERT_TRUE(root.wait_subscribed());
    const json before = status();
    ASSERT_TRUE(before.is_object());

    const std::vector<Bytes> forged = {
        pkg(msg(8, {5})),                  // MODULE_UNREGISTER stp
        pkg(msg(100, {5, 5, 1, 101, 0})),  // stp's own answer to a GO_DOWN: down
        pkg(msg(6, {7, 0x104, 103, 0})),   // MODULE_STATUS_RESP: swivend sets the mode
        pkg(msg(7, {4})),                  // MODULE_REGISTER of a phantom ospf
        pkg(msg(200, {9, 1, 1})),          // ISSU_INFO, to be relayed
    };
    std::string nacks;
    for (size_t n = 0; n < forged.size(); n++)
        nacks += NACK;
    EXPECT_EQ(send_as("65534", forged), nacks);
    EXPECT_EQ(status(), before);

    // Root's own ISSU_INFO is the first relayed: the forged one never was.
    ASSERT_EQ(root.request(pkg(msg(200, {9, 2, 1}))), ints({12, 107, 8}));
    const auto relayed = root.next_broadcast_of_type(200);
    ASSERT_TRUE(relayed);
    EXPECT_EQ(fields_of(*relayed), (std::vector<int32_t>{200, 9, 2, 1}));

    const std::string log = manager->stderr_text();
    EXPECT_EQ(count(log, "refused module request"), 1u) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(" WARN refused module request from uid 65534 pid [0-9]+: "
                                                  "not an allowed user\n")))
        << log;
}

TEST_F(ModuleAccess, MemberOfTheGroupIsServed)
{
    start_manager();
    Process add_group({"groupadd", "--system", "vornmgr"});
    ASSERT_EQ(add_group.wait_exit(), exited_with(0)) << add_group.stderr_text();
    Process add_user({"useradd", "--system", "--no-create-home", "--groups", "vornmgr", "vornmod"});
    ASSERT_EQ(add_user.wait_exit(), exited_with(0)) << add_user.stderr_text();

    EXPECT_EQ(send_as("vornmod", {pkg(msg(7, {4}))}), ACK);
    const json now = status();
    ASSERT_EQ(now["modules"].size(), 1u) << now.dump();
    EXPECT_EQ(now["modules"][0]["name"], "ospf");
    EXPECT_EQ(count(manager->stderr_text(), "refused module request"), 0u) << manager->stderr_text();
}

TEST_F(ModuleAccess, AnyUserIsServedWhenTheConfigurationSaysAny)
{
    start_manager("boot_mode=cold\nmodule_users=any\n");
    EXPECT_EQ(send_as("65534", {pkg(msg(7, {4}))}), ACK);
    EXPECT_EQ(status()["modules"].size(), 1u);
    EXPECT_EQ(count(manager->stderr_text(), "refused module request"), 0u) << manager->stderr_text();
}

TEST_F(ModuleAccess, SquattedPortIsNamedAndTheManagerExits)
{
    Process squatter(as_user("65534", {VORN_PYTHON3, "-c", SQUAT_SCRIPT, "49002"}));
    ASSERT_TRUE(squatter.wait_for_stdout("listening")) << squatter.stderr_text();
    Process refused({bin_path("vornmgrd")});
    EXPECT_EQ(refused.wait_exit(), exited_with(1));
    const std::string log = refused.stderr_text();
    EXPECT_NE(log.find(" ERR failed comm bind Address already in use\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ERR comm port 127.0.0.1:49002 is held by uid 65534 pid " + std::to_string(squatter.pid()) +
                       "\n"),
              std::string::npos)
        << log;
}

} // namespace
