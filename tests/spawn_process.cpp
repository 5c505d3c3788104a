#include "spawn_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

using clock_type = std::chrono::steady_clock;

int milliseconds_left(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void make_pipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
}

} // namespace

running_process start_process(const std::string &path, const std::vector<std::string> &argv,
                              const spawn_options &options) {
    std::vector<char *> arg_pointers;
    for (const std::string &arg : argv)
        arg_pointers.push_back(const_cast<char *>(arg.c_str()));
    arg_pointers.push_back(nullptr);

    std::vector<char *> env_pointers;
    for (char **entry = environ; *entry != nullptr; ++entry)
        env_pointers.push_back(*entry);
#ifdef HALVEX_SANITIZE
    // Halt on the first finding; a copy replaced by a later option is never freed, by design.
    static const std::string sanitizer_environment[] = {
        "ASAN_OPTIONS=halt_on_error=1:detect_leaks=1",
        "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1",
        std::string("LSAN_OPTIONS=print_suppressions=0:suppressions=") + LEAK_SUPPRESSIONS,
    };
    for (const std::string &entry : sanitizer_environment)
        env_pointers.push_back(const_cast<char *>(entry.c_str()));
#endif
    for (const std::string &entry : options.extra_environment)
        env_pointers.push_back(const_cast<char *>(entry.c_str()));
    env_pointers.push_back(nullptr);

    int out_pipe[2], err_pipe[2];
    make_pipe(out_pipe);
    make_pipe(err_pipe);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    switch (options.stdout_sink) {
    case output_sink::pipe: posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1); break;
    case output_sink::closed: posix_spawn_file_actions_addclose(&actions, 1); break;
    case output_sink::full_device:
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
        break;
    }
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

    running_process child;
    int rc = posix_spawn(&child.pid, path.c_str(), &actions, nullptr, arg_pointers.data(),
                         env_pointers.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("cannot start " + path);
    }
    child.stdout_fd = out_pipe[0];
    child.stderr_fd = err_pipe[0];
    return child;
}

process_result finish_process(running_process &child, int deadline_ms) {
    process_result result;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(deadline_ms);
    pollfd fds[2] = {{child.stdout_fd, POLLIN, 0}, {child.stderr_fd, POLLIN, 0}};
    std::string *sinks[2] = {&result.out, &result.err};
    int open_streams = 2;
    while (open_streams > 0) {
        int left = milliseconds_left(deadline);
        if (left == 0) {
            result.timed_out = true;
            break;
        }
        int ready = poll(fds, 2, left);
        if (ready < 0 && errno == EINTR)
            continue;
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            char buffer[65536];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    // The streams can close before the exit; wait for the exit until the same deadline.
    while (!result.timed_out) {
        pid_t reaped = waitpid(child.pid, &result.status, WNOHANG);
        if (reaped == child.pid)
            break;
        if (milliseconds_left(deadline) == 0)
            result.timed_out = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (result.timed_out) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &result.status, 0);
    }
    for (pollfd &entry : fds)
        if (entry.fd >= 0)
            close(entry.fd);
    child.pid = -1;
    return result;
}

process_result run_process(const std::string &path, const std::vector<std::string> &argv,
                           int deadline_ms, const spawn_options &options) {
    running_process child = start_process(path, argv, options);
    return finish_process(child, deadline_ms);
}

bool still_running_after(const running_process &child, int wait_ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(child.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return false;
    return info.si_pid == 0;
}

std::string describe_arguments(const std::vector<std::string> &argv) {
    std::string text;
    for (const std::string &arg : argv)
        text += "[" + arg + "] ";
    return text;
}

std::string describe_status(int status) {
    if (WIFEXITED(status))
        return "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}
