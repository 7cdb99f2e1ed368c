// SPDX-License-Identifier: Apache-2.0
// vornmgr-modsim's command line: the module to simulate and how it answers the
// manager's take-down.

#include "vornmgr_modsim.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct modsim_module_name {
    const char *name;
    Module module;
};

// The modules a simulator may stand for: every module of the switch the
// manager takes down. "System Services" has a blank in the manager's texts, so
// it is named here as its daemon's package is.
constexpr modsim_module_name modsim_module_names[] = {
    {"frr", FRR},         {"bgp", BGP},         {"ospf", OSPF},
    {"stp", STP},         {"trelld", TRELL},    {"swivend", SWIVEND},
    {"sdk", SDK},         {"system-services", SYSTEM_SERVICES},
};

const char *modsim_program_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// A whole decimal number from `low` to `high`; false for anything else.
bool modsim_parse_number(const char *text, long low, long high, long *value)
{
    if (text == nullptr || *text == '\0')
        return false;
    errno = 0;
    char *end = nullptr;
    const long parsed = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

bool modsim_parse_delay(const char *program, const char *option, const char *text, int *delay_ms)
{
    long value;
    if (!modsim_parse_number(text, 0, MODSIM_MAX_DELAY_MS, &value)) {
        fprintf(stderr, "%s: %s wants milliseconds from 0 to %d, not '%s'\n", program, option, MODSIM_MAX_DELAY_MS,
                text);
        return false;
    }
    *delay_ms = static_cast<int>(value);
    return true;
}

bool modsim_parse_failure(const char *program, const char *text, Failure_Reason *reason)
{
    if (strcmp(text, "busy") == 0) {
        *reason = BUSY;
        return true;
    }
    long value;
    // Zero would mean success to the manager: not a failure at all.
    if (!modsim_parse_number(text, 1, INT32_MAX, &value)) {
        fprintf(stderr, "%s: --fail wants 'busy' or a reason number from 1, not '%s'\n", program, text);
        return false;
    }
    *reason = static_cast<Failure_Reason>(value);
    return true;
}

bool modsim_parse_silence(const char *program, const char *text, modsim_options_t *options)
{
    if (text == nullptr || strcmp(text, "own") == 0) {
        options->silent_own = true;
        return true;
    }
    if (strcmp(text, "all") == 0) {
        options->silent_all = true;
        return true;
    }
    fprintf(stderr, "%s: --silent takes 'own' or 'all', not '%s'\n", program, text);
    return false;
}

} // namespace

Module modsim_module_from_name(const char *name)
{
    for (const modsim_module_name &entry : modsim_module_names) {
        if (strcmp(entry.name, name) == 0)
            return entry.module;
    }
    return MAX_MODULES;
}

void modsim_print_usage(FILE *out, const char *program)
{
    fprintf(out,
            "Usage: %s [OPTION]... MODULE\n"
            "Simulates one module of the switch against vornmgrd, through libvornmgr: registers,\n"
            "reports load and init complete, answers every GO_DOWN broadcast, keepalives and\n"
            "status probes, and runs the start-up handshake again on COME_UP. Prints one\n"
            "time-stamped line per event. Stops cleanly (unregistering) on SIGTERM, SIGINT or SIGHUP.\n"
            "\n"
            "MODULE is one of: frr bgp ospf stp trelld swivend sdk system-services\n"
            "\n"
            "  -d, --delay=MS           answer a GO_DOWN naming this module after MS ms (default 0)\n"
            "  -o, --others-delay=MS    answer a GO_DOWN naming another module after MS ms (default 0)\n"
            "  -f, --fail=REASON        report failure REASON ('busy' or a number from 1) when told\n"
            "                           to go down; the manager then records the module as failed\n"
            "  -s, --silent[=own|all]   leave GO_DOWN naming this module (own, the default) or every\n"
            "                           GO_DOWN (all) unanswered, so that the manager's wait times out\n"
            "  -w, --register-wait=S    keep trying to register for up to S seconds (default 30)\n"
            "  -h, --help               show this text\n"
            "      --version            show the version\n"
            "\n"
            "Exit status: 0 after a clean stop, 1 if registration, the handshake or the\n"
            "unregistration failed, 2 for a wrong command line.\n"
            "\n"
            "Example: %s --delay=150 frr\n",
            program, program);
}

modsim_parse_result_t modsim_parse_options(int argc, char **argv, modsim_options_t *options)
{
    const char *program = modsim_program_name(argv[0]);
    static const option long_options[] = {
        {"delay", required_argument, nullptr, 'd'},
        {"others-delay", required_argument, nullptr, 'o'},
        {"fail", required_argument, nullptr, 'f'},
        {"silent", optional_argument, nullptr, 's'},
        {"register-wait", required_argument, nullptr, 'w'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 1;
    int opt;
    while ((opt = getopt_long(argc, argv, "d:o:f:s::w:h", long_options, nullptr)) != -1) {
        bool ok = true;
        long seconds;
        switch (opt) {
        case 'd':
            ok = modsim_parse_delay(program, "--delay", optarg, &options->own_delay_ms);
            break;
        case 'o':
            ok = modsim_parse_delay(program, "--others-delay", optarg, &options->others_delay_ms);
            break;
        case 'f':
            ok = modsim_parse_failure(program, optarg, &options->failure_reason);
            break;
        case 's':
            ok = modsim_parse_silence(program, optarg, options);
            break;
        case 'w':
            ok = modsim_parse_number(optarg, 0, 3600, &seconds);
            if (ok)
                options->register_wait_s = static_cast<int>(seconds);
            else
                fprintf(stderr, "%s: --register-wait wants seconds from 0 to 3600, not '%s'\n", program, optarg);
            break;
        case 'h':
            modsim_print_usage(stdout, program);
            return MODSIM_EXIT_OK;
        case 'V':
            printf("vornmgr-modsim %s\n", VORN_VERSION);
            return MODSIM_EXIT_OK;
        default: // getopt has printed its diagnostic
            ok = false;
            break;
        }
        if (!ok) {
            fprintf(stderr, "Try '%s --help'.\n", program);
            return MODSIM_EXIT_USAGE;
        }
    }
    if (argc - optind != 1) {
        fprintf(stderr, "%s: %s\n", program, argc == optind ? "which module? (one MODULE argument)" : "one MODULE only");
        modsim_print_usage(stderr, program);
        return MODSIM_EXIT_USAGE;
    }
    options->module = modsim_module_from_name(argv[optind]);
    if (options->module == MAX_MODULES) {
        fprintf(stderr, "%s: unknown module '%s' (frr bgp ospf stp trelld swivend sdk system-services)\n", program,
                argv[optind]);
        return MODSIM_EXIT_USAGE;
    }
    return MODSIM_RUN;
}
