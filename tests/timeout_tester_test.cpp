#include "spawn_process.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>

namespace {

const std::string program = TIMEOUT_TESTER_PATH;

const char usage_lines[] = "Incorrect arguments supplied\n"
                           "\n"
                           "Plugin timeout tester for Halvex\n"
                           "Copyright (c) the Halvex plugin authors\n"
                           "Last Modified: 01-10-2000\n"
                           "License: GPL\n"
                           "\n"
                           "Usage: /usr/libexec/halvex/plugins/timeout_tester <something>\n"
                           "\n"
                           "Options:\n"
                           " <something> = Anything at all...\n"
                           "\n"
                           "Notes:\n"
                           "This 'plugin' doesn't do anything.  It is designed to never exit "
                           "and therefore\n"
                           "provides an easy way of testing service and host check timeouts in "
                           "Halvex.\n"
                           "\n";

// Time the process has spent on a CPU so far, in nanoseconds.
long long cpu_nanoseconds(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    long long on_cpu = -1;
    schedstat >> on_cpu;
    return on_cpu;
}

TEST(TimeoutTester, WithoutArgumentsPrintsUsageAndSucceeds) {
    process_result result = run_process(program, {"/usr/libexec/halvex/plugins/timeout_tester"});
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(describe_status(result.status), "exit 0");
    EXPECT_EQ(result.out, usage_lines);
    EXPECT_EQ(result.err, "");
}

TEST(TimeoutTester, AnyArgumentsMakeItWaitUntilKilledWithoutOutput) {
    const std::vector<std::vector<std::string>> vectors = {
        {"timeout_tester", ""},
        {"timeout_tester", "-h"},
        {"timeout_tester", "x", "--help", "", "-s", "-d", "0"},
    };
    std::vector<running_process> children;
    for (const auto &argv : vectors)
        children.push_back(start_process(program, argv));
    ASSERT_TRUE(still_running_after(children[0], 200));
    std::vector<long long> cpu_before;
    for (const running_process &child : children)
        cpu_before.push_back(cpu_nanoseconds(child.pid));
    EXPECT_TRUE(still_running_after(children[0], 2000));
    for (size_t i = 0; i < children.size(); ++i) {
        running_process &child = children[i];
        EXPECT_TRUE(still_running_after(child, 0));
        ASSERT_GE(cpu_before[i], 0) << "no /proc/PID/schedstat";
        EXPECT_LT(cpu_nanoseconds(child.pid) - cpu_before[i], 10'000'000) << "busy while waiting";
        kill(child.pid, SIGKILL);
        process_result result = finish_process(child, 2000);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(describe_status(result.status), "signal 9");
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

TEST(TimeoutTester, StoppingAndHarmlessSignalsLeaveItWaiting) {
    running_process child = start_process(program, {"timeout_tester", "wait"});
    ASSERT_TRUE(still_running_after(child, 100));
    for (int signal_number : {SIGSTOP, SIGCONT, SIGCHLD, SIGWINCH, SIGURG}) {
        kill(child.pid, signal_number);
        EXPECT_TRUE(still_running_after(child, 300)) << strsignal(signal_number);
    }
    kill(child.pid, SIGKILL);
    process_result result = finish_process(child, 2000);
    EXPECT_EQ(describe_status(result.status), "signal 9");
    EXPECT_EQ(result.out + result.err, "");
}

TEST(TimeoutTester, TerminatingSignalsEndItByThatSignal) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        running_process child = start_process(program, {"timeout_tester", "x"});
        ASSERT_TRUE(still_running_after(child, 100));
        kill(child.pid, signal_number);
        process_result result = finish_process(child, 2000);
        ASSERT_FALSE(result.timed_out);
        EXPECT_EQ(describe_status(result.status), "signal " + std::to_string(signal_number));
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "");
    }
}

} // namespace
