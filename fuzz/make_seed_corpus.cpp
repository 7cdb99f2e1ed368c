// SPDX-License-Identifier: Apache-2.0
// Writes the seed inputs of every fuzz target, built from the protocol's own
// packages and files, into <corpus dir>/<target>/seed-<name>:
//
//   make_seed_corpus fuzz/corpus
//
// (scripts/fuzz seeds does this). The seeds cover each request, broadcast,
// reply, configuration entry and operator request once, in its normal form
// and in the malformed forms the protocol names; the fuzzer finds the rest.

#include "fuzz_support.h"
#include "vorn_mgr_intf.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

using vorn_fuzz::ints;
using vorn_fuzz::Message;

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A message of int32 payload values, and a package of messages, laid out by
// the package codec. The malformed seeds are written as the int32s they are.
Message msg(int32_t type, std::initializer_list<int32_t> payload = {})
{
    return vorn_fuzz::message(type, payload);
}

Bytes pkg(std::initializer_list<Message> messages)
{
    return vorn_fuzz::package(messages);
}

Bytes text(const std::string &s)
{
    return Bytes(s.begin(), s.end());
}

class Corpus {
public:
    explicit Corpus(std::filesystem::path root) : root_(std::move(root)) {}

    void add(const std::string &target, const std::string &name, const Bytes &bytes)
    {
        const std::filesystem::path dir = root_ / target;
        std::filesystem::create_directories(dir);
        std::ofstream file(dir / ("seed-" + name), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        count_++;
    }
    int count() const { return count_; }

private:
    std::filesystem::path root_;
    int count_ = 0;
};

void manager_request_seeds(Corpus &corpus)
{
    const auto add = [&](const std::string &name, const Bytes &bytes) { corpus.add("manager_request", name, bytes); };
    add("register-stp", pkg({msg(MODULE_REGISTER, {STP})}));
    add("register-twice", cat({pkg({msg(MODULE_REGISTER, {STP})}), pkg({msg(MODULE_REGISTER, {STP})})}));
    add("unregister-unknown", pkg({msg(MODULE_UNREGISTER, {BGP})}));
    add("register-invalid", cat({pkg({msg(MODULE_REGISTER, {10})}), pkg({msg(MODULE_REGISTER, {-1})})}));
    add("load-complete", pkg({msg(LOAD_COMPLETE, {SYSTEM_SERVICES, REBOOT_WARM, LOAD_COMPLETE, NO_ERROR})}));
    add("init-complete", pkg({msg(INIT_COMPLETE, {SWIVEND, REBOOT_WARM, INIT_COMPLETE, NO_ERROR})}));
    // A whole start of three modules, then a load completion that lists them.
    Bytes start;
    for (int32_t mod : {FRR, SWIVEND, TRELL})
        start = cat({start, pkg({msg(MODULE_REGISTER, {mod})}),
                     pkg({msg(LOAD_COMPLETE, {mod, REBOOT_COLD, LOAD_COMPLETE, NO_ERROR})}),
                     pkg({msg(INIT_COMPLETE, {mod, REBOOT_COLD, INIT_COMPLETE, NO_ERROR})})});
    add("three-modules-up", cat({start, pkg({msg(LOAD_COMPLETE, {BGP, REBOOT_COLD, LOAD_COMPLETE, NO_ERROR})})}));
    add("layer3-then-trell", cat({pkg({msg(NETWORK_LAYER_INFO, {4, 0})}),
                                  pkg({msg(INIT_COMPLETE, {TRELL, REBOOT_WARM, INIT_COMPLETE, NO_ERROR})})}));
    add("keepalive-response", pkg({msg(KEEP_ALIVE_RESP, {41, OSPF, REBOOT_COLD, UP, NO_ERROR})}));
    add("status-response-swivend", pkg({msg(MODULE_STATUS_RESP, {SWIVEND, 0x104, UP, NO_ERROR})}));
    add("status-response-invalid", pkg({msg(MODULE_STATUS_RESP, {11, REBOOT_COLD, UP, NO_ERROR})}));
    add("go-down-answers", cat({pkg({msg(GO_DOWN, {STP, STP, REBOOT_WARM, GO_DOWN, BUSY})}),
                                pkg({msg(GO_DOWN, {STP, FRR, REBOOT_WARM, GO_DOWN, NO_ERROR})})}));
    add("network-layer-info", pkg({msg(NETWORK_LAYER_INFO)}));
    add("network-layer-info-data", pkg({msg(NETWORK_LAYER_INFO, {8, 0x01020304, 0x05060708})}));
    add("issu-info", pkg({msg(ISSU_INFO, {SYSTEM_SERVICES, ISSU_END, ISSU_IN_PROGRESS})}));
    add("unknown-type", pkg({msg(9)}));
    add("empty-package", ints({4}));
    add("short-len", ints({12, MODULE_REGISTER, 4}));
    add("total-len-beyond", ints({64, MODULE_REGISTER, 12, STP}));
    add("short-payload", pkg({msg(LOAD_COMPLETE, {SYSTEM_SERVICES})}));
    add("two-messages", pkg({msg(MODULE_REGISTER, {STP}), msg(MODULE_REGISTER, {BGP})}));
    Bytes oversized = pkg({msg(NETWORK_LAYER_INFO)});
    oversized.resize(1100, 0x5a);
    const int32_t oversized_len = static_cast<int32_t>(oversized.size());
    memcpy(oversized.data(), &oversized_len, 4);
    add("oversized", oversized);
}

void module_broadcast_seeds(Corpus &corpus)
{
    const auto add = [&](const std::string &name, const Bytes &bytes) { corpus.add("module_broadcast", name, bytes); };
    add("go-down-other", pkg({msg(GO_DOWN, {FRR, REBOOT_WARM, GO_DOWN})}));
    // The module learns it runs warm, then is taken down for a warm restart.
    add("go-down-self-warm", cat({pkg({msg(UP, {SYSTEM_SERVICES, REBOOT_WARM, UP, NO_ERROR}),
                                       msg(GO_DOWN, {SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN})})}));
    add("go-down-self-maintenance", pkg({msg(GO_DOWN, {SYSTEM_SERVICES, MAINTENANCE | REBOOT_WARM, GO_DOWN})}));
    add("down-maintenance", pkg({msg(DOWN, {SYSTEM_SERVICES, MAINTENANCE | REBOOT_COLD, DOWN})}));
    add("come-up", cat({pkg({msg(COME_UP, {ALL_MODULES, REBOOT_WARM, COME_UP})}),
                        pkg({msg(MODE_INFO, {SYSTEM_SERVICES, REBOOT_WARM, UP}), msg(MOD_LIST, {SWIVEND})}),
                        pkg({msg(UP, {SYSTEM_SERVICES, REBOOT_WARM, UP, NO_ERROR})})}));
    add("come-up-load-fails", cat({pkg({msg(COME_UP, {ALL_MODULES, REBOOT_COLD, COME_UP})}), ints({}), Bytes{1}}));
    add("come-up-long-list", cat({pkg({msg(COME_UP, {ALL_MODULES, REBOOT_COLD, COME_UP})}),
                                  pkg({msg(MODE_INFO, {SYSTEM_SERVICES, REBOOT_COLD, UP}),
                                       msg(MOD_LIST, {2, 3, 4, 5, 6, 7, 8, 0, 1, 2, 3, 4})})}));
    add("come-up-odd-replies", cat({pkg({msg(COME_UP, {SDK, REBOOT_FAST, COME_UP})}),
                                    pkg({msg(ACK), msg(MODE_INFO, {SYSTEM_SERVICES})}),
                                    ints({40, UP, 24, SYSTEM_SERVICES, REBOOT_FAST, UP, 0})}));
    add("up-self", pkg({msg(UP, {SYSTEM_SERVICES, REBOOT_FAST, UP, NO_ERROR})}));
    add("keepalive", pkg({msg(KEEP_ALIVE_REQ, {7})}));
    add("network-layer-info", pkg({msg(NETWORK_LAYER_INFO)}));
    add("status-request", pkg({msg(MODULE_STATUS_REQ)}));
    add("issu-info", pkg({msg(ISSU_INFO, {SYSTEM_SERVICES, ISSU_START, ISSU_FAIL})}));
    add("unhandled", pkg({msg(ACK), msg(MODE_INFO, {SYSTEM_SERVICES, REBOOT_COLD, UP})}));
    add("down-then-up", pkg({msg(DOWN, {SYSTEM_SERVICES, REBOOT_COLD, DOWN}),
                             msg(UP, {SYSTEM_SERVICES, REBOOT_WARM, UP, NO_ERROR})}));
    add("empty", ints({4}));
    add("short-len", ints({12, KEEP_ALIVE_REQ, 4}));
    add("short-payload", pkg({msg(GO_DOWN, {FRR})}));
}

void config_reader_seeds(Corpus &corpus)
{
    const auto add = [&](const std::string &name, const std::string &s) { corpus.add("config_reader", name, text(s)); };
    add("tool-written", "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=warm\n"
                        "l3_up_max_time=30\nissu_complete_max_time=400\n");
    add("hand-edited", "  boot_mode=fast   # by hand\n\t# comment\n\nvornmgrctl_override=false\nx=1\n");
    add("blanks-around-separator", "boot_mode = warm\nvornmgrctl_override= true\n");
    add("later-line-wins", "boot_mode=cold\nboot_mode=bogus\nboot_mode=warmer\n");
    add("invalid-values", "vornmgrctl_override=maybe\nl3_up_max_time=0\nissu_complete_max_time=abc\n"
                          "l3_up_max_time=-5\n");
    add("key-alone", "boot_mode");
    add("no-newline", "boot_mode=cold");
    add("long-line", std::string(300, 'x') + "boot_mode=warm\n" + std::string(254, ' ') + "boot_mode=fast\n");
}

void operator_request_seeds(Corpus &corpus)
{
    const auto add = [&](const std::string &name, const Bytes &bytes) { corpus.add("operator_request", name, bytes); };
    // Request, mode, flags, registered modules, maintenance age, then rows.
    const auto state = [](int32_t request, int32_t mode, uint8_t flags, uint8_t registered, int32_t maintenance_age,
                          std::initializer_list<Bytes> rows) {
        Bytes bytes = cat({ints({request, mode}), Bytes{flags, registered}, ints({maintenance_age})});
        for (const Bytes &row : rows)
            bytes = cat({bytes, row});
        return bytes;
    };
    const auto row = [](int32_t mode, int32_t state, int32_t starts, int32_t age) {
        return ints({mode, state, starts, age});
    };
    const Bytes frr = row(REBOOT_WARM, UP, 1, 725);
    const Bytes restarted = row(REBOOT_WARM, UP, 2, 221);
    add("show-empty", state(10, REBOOT_COLD, 0, 0, 0, {}));
    add("show-two-modules", state(10, REBOOT_WARM, 0, 0x81, 0,
                                  {frr, row(0, 0, 0, 0), row(0, 0, 0, 0), row(0, 0, 0, 0), row(0, 0, 0, 0),
                                   row(0, 0, 0, 0), row(0, 0, 0, 0), restarted}));
    add("show-maintenance", state(10, MAINTENANCE | SYS_UPGRADE | REBOOT_WARM, 3, 0x01, 90061, {frr}));
    add("show-maintenance-at-boot", state(10, MAINTENANCE | REBOOT_COLD, 0, 0x01, 0, {row(0x7fffffff, -1, 3, -60)}));
    add("warmboot", state(1, REBOOT_WARM, 1, 0xff, 0, {frr}));
    add("fastboot", state(2, MAINTENANCE | REBOOT_COLD, 0, 0, 0, {}));
    add("coldboot", state(3, REBOOT_FAST, 1, 0, 0, {}));
    add("maintenance-enable", state(4, REBOOT_WARM, 0, 0x03, 0, {frr, frr}));
    add("maintenance-disable", state(5, MAINTENANCE | REBOOT_WARM, 0, 0x03, 60, {frr, frr}));
    add("upgrade", state(8, REBOOT_COLD, 0, 0, 0, {}));
    add("unknown", state(9, REBOOT_COLD, 0, 0, 0, {}));
    add("short", Bytes{10, 0});
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    Corpus corpus(argv[1]);
    manager_request_seeds(corpus);
    module_broadcast_seeds(corpus);
    config_reader_seeds(corpus);
    operator_request_seeds(corpus);
    printf("%d seed inputs written under %s\n", corpus.count(), argv[1]);
    return 0;
}
