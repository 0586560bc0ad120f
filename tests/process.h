// process: start the project's programs from tests and read what they print.
#ifndef QAV_TESTS_PROCESS_H
#define QAV_TESTS_PROCESS_H

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// A running child with its stdout and stderr on pipes, and what was read of them.
struct Child {
    pid_t pid = -1;
    int outFd = -1;
    int errFd = -1;
    std::string out;
    std::string err;
};

// Start argv[0] (a path) in dir with extra environment entries; stdin is /dev/null.
// The descriptors in closed (of 0, 1 and 2) start closed instead.
inline Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                   const std::string& dir = "", const std::vector<int>& closed = {})
{
    int out[2], err[2];
    // Close-on-exec, so one child never inherits the pipes of another.
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    Child child;
    child.pid = fork();
    if (child.pid == 0) {
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {out[0], out[1], err[0], err[1], null}) close(fd);
        for (int fd : closed) close(fd);
        close_range(3, ~0U, 0); // nothing of the test's own
        if (!dir.empty() && chdir(dir.c_str()) != 0) _exit(126);
        for (const std::string& entry : env) putenv(const_cast<char*>(entry.c_str()));
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    child.outFd = out[0];
    child.errFd = err[0];
    return child;
}

// Read what the child printed, waiting up to ms; false once both pipes are at their end.
inline bool pump(Child* child, int ms)
{
    pollfd fds[2] = {{child->outFd, POLLIN, 0}, {child->errFd, POLLIN, 0}};
    int open = (child->outFd >= 0) + (child->errFd >= 0);
    if (open == 0) return false;
    if (poll(fds, 2, ms) <= 0) return true;
    std::string* texts[2] = {&child->out, &child->err};
    int* fdsOf[2] = {&child->outFd, &child->errFd};
    for (int i = 0; i < 2; i++) {
        if (fds[i].revents == 0 || *fdsOf[i] < 0) continue;
        char chunk[65536];
        ssize_t n = read(*fdsOf[i], chunk, sizeof chunk);
        if (n > 0) texts[i]->append(chunk, static_cast<std::size_t>(n));
        else {
            close(*fdsOf[i]);
            *fdsOf[i] = -1;
        }
    }
    return true;
}

// Read until done(child) holds or seconds pass; returns whether it held.
template <typename Done> bool waitFor(Child* child, double seconds, Done done)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done(*child)) {
        if (std::chrono::steady_clock::now() >= end) return false;
        if (!pump(child, 20) && !done(*child)) return false;
    }
    return true;
}

// How often text occurs in haystack.
inline int countOf(const std::string& haystack, const std::string& text)
{
    int count = 0;
    for (std::size_t at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + 1))
        count++;
    return count;
}

// Stop the child with a signal (none when it has ended), read the rest, and return its wait status.
inline int stop(Child* child, int signal = SIGKILL)
{
    int status = 0;
    if (child->pid <= 0) return -1;
    if (waitpid(child->pid, &status, WNOHANG) == 0) {
        kill(child->pid, signal);
        waitpid(child->pid, &status, 0);
    }
    child->pid = -1;
    while (pump(child, 100)) {
    }
    return status;
}

// Wait for the child to end by itself within seconds; returns its wait status, or -1.
inline int waitExit(Child* child, double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < end) {
        pump(child, 20);
        if (waitpid(child->pid, &status, WNOHANG) == child->pid) {
            child->pid = -1;
            while (pump(child, 100)) {
            }
            return status;
        }
    }
    return -1;
}

#endif
