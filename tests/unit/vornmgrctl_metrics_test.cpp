// SPDX-License-Identifier: Apache-2.0
// The metrics text vornmgrctl builds from a status and a history: values
// from the files are escaped as label values, the take-down shown is the
// newest one even when a bring-up followed it, and a status that cannot be
// read is a manager that is down.

#include "vorn_mgr_cli_client.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string status = R"({"version":1,"time":1796700100,"mode":{"bits":4,"words":["warm"],"text":"warm"},)"
                           R"("maintenance":false,"maintenance_since":null,"upgrade_pending":false,)"
                           R"("ports_in_maintenance":false,"modules":[],"discovery_in_progress":false,)"
                           R"("unaccounted_modules":[],"start_time":1796700000,"keepalive_interval_s":60})";

std::string take_down(const std::string &module, long long started_ms)
{
    return R"({"kind":"restart","started_ms":)" + std::to_string(started_ms) +
           R"(,"duration_ms":5012,"positions":[{"module":)" + module +
           R"(,"waited_us":5000123,"timed_out":true,"failed":[{"module":"frr"}]}]})";
}

TEST(MetricsText, NewestTakeDownWithItsModuleNamesEscaped)
{
    const std::vector<std::string> history{
        take_down(R"("frr")", 1796600000000),
        take_down(R"("a\"b\\c\nd")", 1796700000250),
        R"({"kind":"maintenance-off","started_ms":1796700050000,"duration_ms":3,"positions":[]})",
    };
    bool up = false;
    const std::string text = vornmgr_format_metrics(status, history, &up);
    EXPECT_TRUE(up);
    EXPECT_NE(text.find("\nvornmgr_manager_start_time_seconds 1796700000\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nvornmgr_takedown_start_time_seconds 1796700000.250\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nvornmgr_takedown_wait_seconds{module=\"a\\\"b\\\\c\\nd\"} 5.000123\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\nvornmgr_takedown_failed{module=\"a\\\"b\\\\c\\nd\"} 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("module=\"frr\"} 5"), std::string::npos) << text;
    // Every module of the switch is named, none registered.
    EXPECT_NE(text.find("\nvornmgr_module_registered{module=\"System Services\"} 0\n"), std::string::npos) << text;
}

TEST(MetricsText, UnreadableStatusIsAManagerDown)
{
    for (const std::string &answer : {std::string(), std::string(R"({"version":1)")}) {
        bool up = true;
        const std::string text = vornmgr_format_metrics(answer, {take_down(R"("frr")", 1)}, &up);
        EXPECT_FALSE(up);
        EXPECT_NE(text.find("\nvornmgr_up 0\n"), std::string::npos) << text;
        EXPECT_EQ(text.find("takedown"), std::string::npos) << text;
        EXPECT_EQ(text.find("\nvornmgr_", text.find("vornmgr_build_info{")), std::string::npos) << text;
    }
}

} // namespace
