// SPDX-License-Identifier: GPL-2.0-or-later
#include "spawn_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iostream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
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

// Time the process has spent on a CPU so far, in nanoseconds.
long long cpu_nanoseconds(pid_t pid) {
    std::ifstream schedstat("/proc/" + std::to_string(pid) + "/schedstat");
    long long on_cpu = -1;
    schedstat >> on_cpu;
    return on_cpu;
}

// How a started timeout_tester stands towards its wait.
enum class wait_state { reached, never, hidden };

// Waits until the process sleeps in the kernel's timed wait, that is, has reached its one-second
// sleep: signals sent before then would not show what the wait does with them. It is told by
// the process state and the kernel's wait channel, not by system call numbers, which differ
// between architectures and word sizes and which an emulator does not show. The kernel hides
// the channel as "0" without symbols or without ptrace access.
wait_state reach_the_wait(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int hidden_in_a_row = 0;
    do {
        std::string stat, channel;
        std::getline(std::ifstream(proc + "/stat"), stat);
        std::ifstream(proc + "/wchan") >> channel;
        const bool sleeping = stat.find(") S ", stat.rfind(')')) != std::string::npos;
        if (sleeping && (channel == "hrtimer_nanosleep" || channel == "do_nanosleep"))
            return wait_state::reached;
        // A sleeping process always has a channel; "0" again and again means it is hidden.
        hidden_in_a_row = sleeping && channel == "0" ? hidden_in_a_row + 1 : 0;
        if (hidden_in_a_row == 50)
            return wait_state::hidden;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return wait_state::never;
}

#define ASSERT_REACHES_THE_WAIT(pid)                                                               \
    switch (reach_the_wait(pid)) {                                                                 \
    case wait_state::hidden:                                                                       \
        GTEST_SKIP() << "the kernel hides /proc/PID/wchan (no symbols or no ptrace access), so "   \
                        "the wait cannot be seen";                                                 \
    case wait_state::never: FAIL() << "never reached its wait";                                    \
    case wait_state::reached: break;                                                               \
    }

// The next stop or continue of the child, as waitid reports it: CLD_STOPPED, CLD_CONTINUED,
// or 0 when none came within wait_ms.
int next_job_control_change(const running_process &child, int wait_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    do {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WSTOPPED | WCONTINUED | WNOHANG) ==
                0 &&
            info.si_pid != 0)
            return info.si_code;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (std::chrono::steady_clock::now() < deadline);
    return 0;
}

// Whether the kernel runs the programs through an interpreter, such as an emulator registered
// with binfmt_misc: the started process's executable is then another file than the program.
bool run_by_an_interpreter() {
    static const bool interpreted = [] {
        running_process probe = start_process(program, {"timeout_tester", "x"});
        std::error_code error;
        const std::filesystem::path executable =
            std::filesystem::read_symlink("/proc/" + std::to_string(probe.pid) + "/exe", error);
        return !executable.empty() && executable != std::filesystem::canonical(program, error);
    }();
    return interpreted;
}

void expect_killed_silently(running_process &child, int signal_number) {
    process_result result = finish_process(child, 30000);
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(describe_status(result.status), "signal " + std::to_string(signal_number));
    EXPECT_EQ(result.out, "");
    // An interpreter may report a fatal signal itself, on its standard error.
    if (!run_by_an_interpreter()) {
        EXPECT_EQ(result.err, "");
    }
}

TEST(TimeoutTester, WithoutArgumentsPrintsUsageAndSucceeds) {
    process_result result = run_process(program, {"/usr/libexec/halvex/plugins/timeout_tester"});
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(describe_status(result.status), "exit 0");
    EXPECT_EQ(result.out, usage_lines);
    EXPECT_EQ(result.err, "");
}

TEST(TimeoutTester, AnyArgumentsMakeItWaitUntilKilledWithoutOutput) {
    struct waiting_case {
        std::vector<std::string> argv;
        output_sink sink;
    };
    const waiting_case cases[] = {
        {{"timeout_tester", ""}, output_sink::pipe},
        {{"timeout_tester", "-h"}, output_sink::pipe},
        {{"timeout_tester", "--help", "x", "", "-s", "-d", "0"}, output_sink::pipe},
        {{"timeout_tester", "--version"}, output_sink::pipe},
        {{"timeout_tester", "x"}, output_sink::terminal},
    };
    std::vector<running_process> children;
    for (const waiting_case &c : cases) {
        spawn_options options;
        options.stdout_sink = c.sink;
        children.push_back(start_process(program, c.argv, options));
    }
    std::vector<long long> cpu_before;
    for (const running_process &child : children) {
        ASSERT_REACHES_THE_WAIT(child.pid);
        cpu_before.push_back(cpu_nanoseconds(child.pid));
    }
    // Long enough for two turns of the wait.
    EXPECT_TRUE(still_running_after(children[0], 2100));
    for (size_t i = 0; i < children.size(); ++i) {
        SCOPED_TRACE(describe_arguments(cases[i].argv));
        running_process &child = children[i];
        EXPECT_TRUE(still_running_after(child, 0));
        ASSERT_GE(cpu_before[i], 0) << "no /proc/PID/schedstat";
        EXPECT_LT(cpu_nanoseconds(child.pid) - cpu_before[i], 10'000'000) << "busy while waiting";
        kill(child.pid, SIGKILL);
        expect_killed_silently(child, SIGKILL);
    }
}

TEST(TimeoutTester, JobControlStopsAndContinuesItAndHarmlessSignalsLeaveItWaiting) {
    struct signal_effect {
        int signal_number;
        int change; // what waitid reports next; 0 for nothing at all
    };
    const signal_effect effects[] = {
        {SIGSTOP, CLD_STOPPED}, {SIGCONT, CLD_CONTINUED},
        {SIGTSTP, CLD_STOPPED}, {SIGCONT, CLD_CONTINUED},
        {SIGTTIN, CLD_STOPPED}, {SIGCONT, CLD_CONTINUED},
        {SIGTTOU, CLD_STOPPED}, {SIGCONT, CLD_CONTINUED},
        {SIGCONT, 0},           {SIGCHLD, 0},
        {SIGWINCH, 0},          {SIGURG, 0},
    };
    running_process child = start_process(program, {"timeout_tester", "wait"});
    ASSERT_REACHES_THE_WAIT(child.pid);
    for (const signal_effect &effect : effects) {
        SCOPED_TRACE(strsignal(effect.signal_number));
        kill(child.pid, effect.signal_number);
        EXPECT_EQ(next_job_control_change(child, effect.change == 0 ? 300 : 30000), effect.change);
        EXPECT_TRUE(still_running_after(child, 0));
    }
    ASSERT_REACHES_THE_WAIT(child.pid);
    kill(child.pid, SIGKILL);
    expect_killed_silently(child, SIGKILL);
}

TEST(TimeoutTester, SignalsItsStarterIgnoresStayIgnored) {
    spawn_options options;
    options.ignored_signals = {SIGTERM, SIGINT, SIGHUP, SIGALRM};
    running_process child = start_process(program, {"timeout_tester", "x"}, options);
    ASSERT_REACHES_THE_WAIT(child.pid);
    for (int signal_number : options.ignored_signals)
        kill(child.pid, signal_number);
    EXPECT_TRUE(still_running_after(child, 300));
    kill(child.pid, SIGKILL);
    expect_killed_silently(child, SIGKILL);
}

TEST(TimeoutTester, TerminatingSignalsEndItByThatSignal) {
    std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGUSR1,
                                SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM,
                                SIGPROF, SIGIO,   SIGPWR,  SIGSYS,  SIGKILL};
#ifdef SIGSTKFLT // not on MIPS, which has SIGEMT instead
    signals.push_back(SIGSTKFLT);
#endif
#ifdef SIGEMT
    signals.push_back(SIGEMT);
#endif
#ifndef HALVEX_SANITIZE // the sanitizer runtime reports these itself
    signals.insert(signals.end(), {SIGSEGV, SIGBUS, SIGFPE});
#endif
    for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number)
        signals.push_back(signal_number);

    std::vector<running_process> children;
    for (size_t i = 0; i < signals.size(); ++i)
        children.push_back(start_process(program, {"timeout_tester", "x"}));
    for (size_t i = 0; i < signals.size(); ++i) {
        SCOPED_TRACE(strsignal(signals[i]));
        ASSERT_REACHES_THE_WAIT(children[i].pid);
        // An emulator cannot carry the real-time signals it keeps for itself, and says so.
        if (kill(children[i].pid, signals[i]) != 0) {
            EXPECT_EQ(errno, EINVAL);
            EXPECT_TRUE(run_by_an_interpreter()) << "the signal could not be sent";
            std::cout << "cannot be sent here: " << strsignal(signals[i]) << "\n";
            continue;
        }
        expect_killed_silently(children[i], signals[i]);
    }
}

// The suite's own children die with it, even when it is killed with SIGKILL.
TEST(TimeoutTester, WaitingChildrenDieWithAKilledSuite) {
    // Orphans come to us, so that we can see how they ended.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t suite = fork();
    ASSERT_GE(suite, 0);
    if (suite == 0) { // stands for the suite: starts children, then waits to be killed
        close(report[0]);
        try {
            std::vector<running_process> children;
            for (int i = 0; i < 3; ++i)
                children.push_back(start_process(program, {"timeout_tester", "x"}));
            for (const running_process &child : children)
                if (write(report[1], &child.pid, sizeof child.pid) != sizeof child.pid)
                    _exit(1);
            for (;;)
                pause();
        } catch (...) {
            _exit(1);
        }
    }
    close(report[1]);
    std::vector<pid_t> orphans(3);
    const size_t wanted = orphans.size() * sizeof(pid_t);
    size_t got = 0;
    pollfd readable = {report[0], POLLIN, 0};
    while (got < wanted && poll(&readable, 1, 10000) > 0) {
        const ssize_t n =
            read(report[0], reinterpret_cast<char *>(orphans.data()) + got, wanted - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(report[0]);
    kill(suite, SIGKILL);
    int status;
    waitpid(suite, &status, 0);
    ASSERT_EQ(got, wanted);

    // The kernel kills them at once; the deadline only guards against a hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (pid_t orphan : orphans) {
        int orphan_status = 0;
        bool gone = false;
        while (!(gone = waitpid(orphan, &orphan_status, WNOHANG) == orphan) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!gone) { // clean up what the test found
            kill(orphan, SIGKILL);
            waitpid(orphan, &orphan_status, 0);
        }
        EXPECT_TRUE(gone) << "child " << orphan << " outlived the suite";
        EXPECT_EQ(describe_status(orphan_status), "signal 9");
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

} // namespace
