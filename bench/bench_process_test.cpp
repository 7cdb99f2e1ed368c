// SPDX-License-Identifier: Apache-2.0
// What the run reads its helper processes through: their output lines, their
// exit, their environment, and the /proc counters every CPU and wake-up
// figure is computed from.

#include "bench_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

#include <gtest/gtest.h>

namespace bench {
namespace {

Child shell(const std::string &script, std::vector<std::string> env = {})
{
    SpawnOptions options;
    options.stdout_pipe = true;
    options.env = std::move(env);
    return Child({"/bin/sh", "-c", script}, options);
}

TEST(ChildOutput, LinesWrittenInPiecesComeWhole)
{
    Child child = shell("printf R; sleep 0.1; printf '\\nA 8 1 2 3\\nU 4'");
    EXPECT_EQ(child.read_line(5 * NS_PER_S), "R");
    EXPECT_EQ(child.read_line(5 * NS_PER_S), "A 8 1 2 3");
    // A last line without its newline is no line: the writer did not finish it.
    EXPECT_EQ(child.read_line(5 * NS_PER_S), std::nullopt);
}

TEST(ChildOutput, SilentChildEndsTheWaitAtTheBound)
{
    Child child = shell("sleep 5");
    const ns_t start = now_ns();
    EXPECT_EQ(child.read_line(100 * NS_PER_MS), std::nullopt);
    EXPECT_LT(now_ns() - start, 4 * NS_PER_S);
    const int status = child.stop(5 * NS_PER_S);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(ChildLife, ExitStatusAndAddedEnvironmentReachTheCaller)
{
    Child child = shell("echo \"$VORN_BENCH_TEST_VALUE\"; exit 3", {"VORN_BENCH_TEST_VALUE=forty two"});
    EXPECT_EQ(child.read_line(5 * NS_PER_S), "forty two");
    const auto status = child.wait_exit(5 * NS_PER_S);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 3);
}

TEST(ChildLife, ClosingStandardInputEndsAReader)
{
    SpawnOptions options;
    options.stdin_pipe = true;
    Child child({"/bin/cat"}, options);
    EXPECT_EQ(child.wait_exit(50 * NS_PER_MS), std::nullopt);
    child.stdin_fd().reset();
    const auto status = child.wait_exit(5 * NS_PER_S);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(WEXITSTATUS(*status), 0);
}

TEST(ChildLife, MissingProgramIsReported)
{
    EXPECT_THROW(Child({"/nonexistent/vornmgr_bench_helper"}, SpawnOptions{}), std::runtime_error);
}

TaskSample task(pid_t tid, ns_t run, int64_t slices)
{
    TaskSample sample;
    sample.tid = tid;
    sample.name = "t" + std::to_string(tid);
    sample.run_ns = run;
    sample.timeslices = slices;
    return sample;
}

TEST(ProcActivity, CountsWhatLastingThreadsDidBetweenSamples)
{
    ProcSample before;
    before.taken_at = 1000;
    before.cpu_ticks = 7;
    before.tasks = {task(10, 500, 4), task(11, 900, 9)};
    ProcSample after = before;
    after.taken_at = 5000;
    after.cpu_ticks = 9;
    after.tasks = {task(10, 500, 4), task(11, 1300, 12)};

    const Activity activity = proc_activity(before, after);
    EXPECT_EQ(activity.window, 4000);
    EXPECT_EQ(activity.run_ns, 400);
    EXPECT_EQ(activity.wakeups, 3);
    EXPECT_EQ(activity.cpu_ticks, 2);
    EXPECT_FALSE(activity.threads_changed);
    // Only the thread that ran is listed.
    ASSERT_EQ(activity.busy.size(), 1u);
    EXPECT_EQ(activity.busy[0].tid, 11);
}

TEST(ProcActivity, NewThreadCountsWholeAndIsFlagged)
{
    ProcSample before;
    before.tasks = {task(10, 500, 4)};
    ProcSample after;
    after.tasks = {task(10, 500, 4), task(12, 250, 2)};
    const Activity activity = proc_activity(before, after);
    EXPECT_EQ(activity.run_ns, 250);
    EXPECT_EQ(activity.wakeups, 2);
    EXPECT_TRUE(activity.threads_changed);
}

TEST(ProcActivity, EndedThreadIsFlagged)
{
    ProcSample before;
    before.tasks = {task(10, 500, 4), task(11, 100, 1)};
    ProcSample after;
    after.tasks = {task(10, 500, 4)};
    EXPECT_TRUE(proc_activity(before, after).threads_changed);
}

TEST(ProcSampleOfLiveProcess, ReadsEveryThreadAndTheMemory)
{
    const ProcSample sample = proc_sample(getpid());
    ASSERT_FALSE(sample.tasks.empty());
    EXPECT_EQ(int64_t(sample.tasks.size()), sample.threads);
    EXPECT_GT(sample.tasks.front().tid, 0);
    ns_t run = 0;
    for (const TaskSample &thread : sample.tasks)
        run += thread.run_ns;
    EXPECT_GT(run, 0);
    EXPECT_GT(sample.rss_kib, 0);
    EXPECT_GE(sample.hwm_kib, sample.rss_kib);
    EXPECT_GT(sample.rss_anon_kib, 0);
}

TEST(ProcSampleOfLiveProcess, MissingProcessIsReported)
{
    EXPECT_THROW(proc_sample(-5), std::runtime_error);
}

} // namespace
} // namespace bench
