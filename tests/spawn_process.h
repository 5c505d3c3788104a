// SPDX-License-Identifier: GPL-2.0-or-later
#ifndef HALVEX_TESTS_SPAWN_PROCESS_H
#define HALVEX_TESTS_SPAWN_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

// Where the child's standard output goes. A terminal also takes its standard error and
// becomes its controlling terminal; what it writes arrives as standard output.
enum class output_sink { pipe, closed, full_device, terminal };

struct spawn_options {
    std::vector<std::string> extra_environment; // "NAME=value", replacing ours of that name
    std::vector<int> ignored_signals;           // as a starter may leave them; others default
    output_sink stdout_sink = output_sink::pipe;
};

// A started child. Whatever path leaves the scope that owns it, a child not yet finished is
// killed and reaped; should the test process itself die, the kernel kills the child.
struct running_process {
    pid_t pid = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;

    running_process() = default;
    running_process(running_process &&other) noexcept;
    running_process &operator=(running_process &&other) noexcept;
    running_process(const running_process &) = delete;
    running_process &operator=(const running_process &) = delete;
    ~running_process();
};

struct process_result {
    std::string out;
    std::string err;
    int status = 0;         // as waitpid reports it
    bool timed_out = false; // killed by us at the deadline
};

// Starts path with exactly the argument vector given (argv[0] included, may be empty), with
// every signal but the ignored ones at its default action, and returns once the program has
// been executed.
running_process start_process(const std::string &path, const std::vector<std::string> &argv,
                              const spawn_options &options = {});

// Collects output until the child exits or the deadline passes; at the deadline the child is
// killed with SIGKILL and timed_out is set.
process_result finish_process(running_process &child, int deadline_ms);

process_result run_process(const std::string &path, const std::vector<std::string> &argv,
                           int deadline_ms = 5000, const spawn_options &options = {});

// True when the child has not exited within wait_ms; reaps nothing if it is still running.
bool still_running_after(const running_process &child, int wait_ms);

// The argument vector as "[arg] [arg] ", for assertion messages.
std::string describe_arguments(const std::vector<std::string> &argv);

// Human-readable exit status for assertion messages: "exit 3", "signal 15".
std::string describe_status(int status);

#endif
