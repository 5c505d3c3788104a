// SPDX-License-Identifier: GPL-2.0-or-later
#include "spawn_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

void close_if_open(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// A pseudo-terminal whose far end the child opens as its controlling terminal.
struct terminal_pair {
    int master = -1;
    std::string slave_name;
};

terminal_pair open_terminal() {
    terminal_pair terminal;
    terminal.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (terminal.master < 0 || grantpt(terminal.master) != 0 || unlockpt(terminal.master) != 0 ||
        ptsname_r(terminal.master, name, sizeof name) != 0)
        throw std::runtime_error("no pseudo-terminal");
    terminal.slave_name = name;
    return terminal;
}

void put_on(int fd, int target) {
    if (fd < 0 || dup2(fd, target) < 0)
        _exit(126);
}

// Runs in the forked child: only async-signal-safe calls until the exec.
[[noreturn]] void become_program(pid_t parent, const char *path, char *const *argv,
                                 char *const *envp, const sigset_t *ignored, output_sink sink,
                                 int out_fd, int err_fd, const char *terminal_name, int report_fd) {
    // Die with the test process, even when it is killed with SIGKILL; if it died before
    // this took effect, the parent is no longer the one that forked us.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(125);
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction action = {};
        action.sa_handler = sigismember(ignored, signal_number) == 1 ? SIG_IGN : SIG_DFL;
        sigaction(signal_number, &action, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);

    put_on(open("/dev/null", O_RDONLY), 0);
    if (sink == output_sink::terminal) {
        setsid();
        const int terminal = open(terminal_name, O_RDWR);
        if (terminal < 0 || ioctl(terminal, TIOCSCTTY, 0) != 0)
            _exit(126);
        put_on(terminal, 1);
        put_on(terminal, 2);
    } else {
        // A group of its own, so that the job-control signals stop it whatever our group is.
        setpgid(0, 0);
        if (sink == output_sink::pipe)
            put_on(out_fd, 1);
        else if (sink == output_sink::full_device)
            put_on(open("/dev/full", O_WRONLY), 1);
        else
            close(1);
        put_on(err_fd, 2);
    }
    execve(path, argv, envp);
    const int error = errno;
    ssize_t written = write(report_fd, &error, sizeof error);
    static_cast<void>(written);
    _exit(127);
}

// Blocks until the child has executed the program (the report pipe closes on exec) or
// reports why it could not.
void wait_for_exec(int report_fd, pid_t pid, const std::string &path) {
    int error = 0;
    ssize_t n;
    do
        n = read(report_fd, &error, sizeof error);
    while (n < 0 && errno == EINTR);
    close(report_fd);
    if (n != 0) {
        int status;
        waitpid(pid, &status, 0);
        throw std::runtime_error("cannot start " + path + ": " + std::to_string(error));
    }
}

} // namespace

running_process::running_process(running_process &&other) noexcept
    : pid(other.pid), stdout_fd(other.stdout_fd), stderr_fd(other.stderr_fd) {
    other.pid = other.stdout_fd = other.stderr_fd = -1;
}

running_process &running_process::operator=(running_process &&other) noexcept {
    if (this != &other) {
        this->~running_process();
        pid = other.pid;
        stdout_fd = other.stdout_fd;
        stderr_fd = other.stderr_fd;
        other.pid = other.stdout_fd = other.stderr_fd = -1;
    }
    return *this;
}

running_process::~running_process() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pid = -1;
    close_if_open(stdout_fd);
    close_if_open(stderr_fd);
}

running_process start_process(const std::string &path, const std::vector<std::string> &argv,
                              const spawn_options &options) {
    std::vector<char *> arg_pointers;
    for (const std::string &arg : argv)
        arg_pointers.push_back(const_cast<char *>(arg.c_str()));
    arg_pointers.push_back(nullptr);

    std::vector<std::string> settings = options.extra_environment;
#ifdef HALVEX_SANITIZE
    // Halt on the first finding, leaks included.
    settings.insert(settings.end(), {"ASAN_OPTIONS=halt_on_error=1:detect_leaks=1",
                                     "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1"});
#endif
    // Ours, less what the settings replace: getenv would find an inherited value first.
    const auto name_of = [](const std::string &entry) { return entry.substr(0, entry.find('=')); };
    std::vector<char *> env_pointers;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const std::string &setting : settings)
            replaced = replaced || name_of(setting) == name_of(*entry);
        if (!replaced)
            env_pointers.push_back(*entry);
    }
    for (const std::string &entry : settings)
        env_pointers.push_back(const_cast<char *>(entry.c_str()));
    env_pointers.push_back(nullptr);

    running_process child;
    terminal_pair terminal;
    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1}, report_pipe[2];
    if (options.stdout_sink == output_sink::terminal) {
        terminal = open_terminal();
        child.stdout_fd = terminal.master;
    } else {
        make_pipe(out_pipe);
        make_pipe(err_pipe);
        child.stdout_fd = out_pipe[0];
        child.stderr_fd = err_pipe[0];
    }
    make_pipe(report_pipe);
    sigset_t ignored;
    sigemptyset(&ignored);
    for (int signal_number : options.ignored_signals)
        sigaddset(&ignored, signal_number);

    // vfork, as posix_spawn does, costs no copy of our memory; the child makes only
    // async-signal-safe calls and never returns.
    const pid_t parent = getpid();
    const pid_t pid = vfork();
    if (pid == 0)
        become_program(parent, path.c_str(), arg_pointers.data(), env_pointers.data(), &ignored,
                       options.stdout_sink, out_pipe[1], err_pipe[1], terminal.slave_name.c_str(),
                       report_pipe[1]);
    close_if_open(out_pipe[1]);
    close_if_open(err_pipe[1]);
    close(report_pipe[1]);
    if (pid < 0) {
        close(report_pipe[0]);
        throw std::runtime_error("fork failed");
    }
    wait_for_exec(report_pipe[0], pid, path);
    child.pid = pid;
    return child;
}

process_result finish_process(running_process &child, int deadline_ms) {
    process_result result;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(deadline_ms);
    pollfd fds[2] = {{child.stdout_fd, POLLIN, 0}, {child.stderr_fd, POLLIN, 0}};
    child.stdout_fd = child.stderr_fd = -1; // ours to close from here on
    std::string *sinks[2] = {&result.out, &result.err};
    int open_streams = (fds[0].fd >= 0) + (fds[1].fd >= 0);
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
            } else if (n == 0 || errno != EINTR) { // a terminal reports EIO once it is closed
                close_if_open(fds[i].fd);
                --open_streams;
            }
        }
    }
    // The streams can close before the exit; wait for the exit until the same deadline.
    const int exit_fd = static_cast<int>(syscall(SYS_pidfd_open, child.pid, 0));
    while (!result.timed_out) {
        pid_t reaped = waitpid(child.pid, &result.status, WNOHANG);
        if (reaped == child.pid)
            break;
        const int left = milliseconds_left(deadline);
        if (left == 0) {
            result.timed_out = true;
        } else if (exit_fd >= 0) { // readable once the child has exited
            pollfd exited = {exit_fd, POLLIN, 0};
            poll(&exited, 1, left);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    if (exit_fd >= 0)
        close(exit_fd);
    if (result.timed_out) {
        kill(child.pid, SIGKILL);
        waitpid(child.pid, &result.status, 0);
    }
    for (pollfd &entry : fds)
        close_if_open(entry.fd);
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
