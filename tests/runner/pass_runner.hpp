// The daemon's supervision pass in a child process of its own, run on request
// by the soak and the pass-cost benchmark. The child is pi in /home/pi with
// only stdin, stdout and stderr open, as the systemd unit starts the daemon,
// and it measures its own passes, so nothing of the program that drives it
// counts against the daemon. Only valid inside the device sandbox.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <map>

#include "supervisor/supervisor.hpp"

namespace sandbox {

// Turns the calling (child) process into pi in /home/pi, as the systemd unit
// does: stdin /dev/null, stdout and stderr to OUT and ERR, every other
// descriptor but KEEP closed. A failure ends the process with status 2.
inline void becomePi(int out, int err, std::initializer_list<int> keep = {}) {
    const int devNull = open("/dev/null", O_RDONLY);
    const passwd* pi = getpwnam("pi");
    if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
        pi == nullptr || initgroups("pi", pi->pw_gid) != 0 || setgid(pi->pw_gid) != 0 ||
        setuid(pi->pw_uid) != 0 || chdir(pi->pw_dir) != 0) {
        std::perror("becoming pi");
        _exit(2);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        bool kept = false;
        for (const int k : keep) kept = kept || fd == k;
        if (!kept) close(fd);
    }
    setenv("HOME", pi->pw_dir, 1);
    setenv("USER", "pi", 1);
    setenv("LOGNAME", "pi", 1);
}

// Processes (and threads) started in this PID namespace so far: the kernel
// hands out pids in order, and ns_last_pid is the last one it gave. In the
// sandbox, where little else runs, the difference over some passes is what
// they started, down to the last sh.
// Read without the heap: the soak counts every byte the daemon's process holds.
inline long lastPid() {
    char text[32] = {};
    const int fd = open("/proc/sys/kernel/ns_last_pid", O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
    if (fd >= 0) close(fd);
    return got > 0 ? std::atol(text) : -1;
}

// Means per pass: wall time, the daemon's own CPU (getrusage, user + system)
// and its children's (every command the pass waited for, with what those
// waited for in turn), and the processes the pass started.
struct PassCost {
    double wallMs = 0, selfMs = 0, childrenMs = 0, processes = 0;
};

inline double cpuMs(int who) {
    rusage usage{};
    getrusage(who, &usage);
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// What the driver asks of the child, each with a count. Passes and Quit are
// the runner's own; the others are answered by what the soak and the
// benchmark register (PassRunner::Extras).
enum class Request : char {
    Passes = 'p',     // run COUNT passes; answered with their PassCost
    Quit = 'q',       // end the child
    HeapInUse = 'h',  // the soak: the bytes the child's heap holds, a uint64_t
    Steps = 's',      // the benchmark: COUNT passes' steps, each timed, as doubles
};

class PassRunner {
public:
    // Requests the child answers besides passes, each with a count and the
    // descriptor to write its answer to. Registered before the fork.
    using Extras = std::map<Request, std::function<void(int count, int replies)>>;

    // Forks the child, its stdout and stderr on OUT and ERR. Call it first
    // thing, before the caller grows anything the child would inherit; the
    // pipes are close-on-exec, so no command the daemon runs gets them.
    bool start(int out, int err, Extras extras = {}) {
        int commands[2], replies[2];
        if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0) return false;
        std::fflush(stdout);
        std::fflush(stderr);
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            becomePi(out, err, {commands[0], replies[1]});
            serve(commands[0], replies[1], extras);
        }
        close(commands[0]);
        close(replies[1]);
        commands_ = commands[1];
        replies_ = replies[0];
        return true;
    }

    // Asks for COUNT passes, or another request, without waiting.
    bool request(Request what, int count) {
        const Message r{what, count};
        return write(commands_, &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    }

    // One answer of SIZE bytes; false when the child is gone.
    bool reply(void* data, size_t size) {
        size_t done = 0;
        while (done < size) {
            const ssize_t got = read(replies_, static_cast<char*>(data) + done, size - done);
            if (got <= 0) return false;
            done += static_cast<size_t>(got);
        }
        return true;
    }

    // Runs COUNT passes and waits for them; false when the child is gone.
    bool passes(int count, PassCost* cost) {
        return request(Request::Passes, count) && reply(cost, sizeof *cost);
    }

    // Ends the child; its exit status as waitpid gives it.
    int stop() {
        request(Request::Quit, 0);
        int status = 0;
        waitpid(pid_, &status, 0);
        return status;
    }

    pid_t pid() const { return pid_; }
    int replies() const { return replies_; }

private:
    struct Message {
        Request what;
        int count;
    };

    [[noreturn]] static void serve(int commands, int replies, const Extras& extras) {
        Message r{};
        while (read(commands, &r, sizeof r) == static_cast<ssize_t>(sizeof r) &&
               r.what != Request::Quit) {
            if (r.what != Request::Passes) {
                const auto extra = extras.find(r.what);
                if (extra == extras.end()) _exit(3);
                extra->second(r.count, replies);
                continue;
            }
            const long pidBefore = lastPid();
            const double selfBefore = cpuMs(RUSAGE_SELF), childrenBefore = cpuMs(RUSAGE_CHILDREN);
            const auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < r.count; ++i) runSupervisionPass();
            const std::chrono::duration<double, std::milli> wall =
                std::chrono::steady_clock::now() - start;
            // Everything the passes wrote comes out before their answer.
            std::fflush(stdout);
            const double n = r.count;
            const PassCost cost{wall.count() / n, (cpuMs(RUSAGE_SELF) - selfBefore) / n,
                                (cpuMs(RUSAGE_CHILDREN) - childrenBefore) / n,
                                static_cast<double>(lastPid() - pidBefore) / n};
            if (write(replies, &cost, sizeof cost) != static_cast<ssize_t>(sizeof cost)) _exit(4);
        }
        std::fflush(stdout);
        _exit(r.what == Request::Quit ? 0 : 3);
    }

    pid_t pid_ = -1;
    int commands_ = -1;
    int replies_ = -1;
};

}  // namespace sandbox
