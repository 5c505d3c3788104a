#include "spawn_process.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

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

// User plus system time of a running process, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream stat_file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat_file)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stol(field);
        if (index == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
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
    const long ticks_per_second = sysconf(_SC_CLK_TCK);
    EXPECT_TRUE(still_running_after(children[0], 1200));
    for (running_process &child : children) {
        EXPECT_TRUE(still_running_after(child, 0));
        EXPECT_LT(cpu_ticks(child.pid) * 1000 / ticks_per_second, 10);
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
