// What the daemon costs a device: CPU and processes per supervision pass, the
// resident memory of the real binary, and the application lookup against
// starting pgrep. Prints figures with PASS or MISS against each target and
// always exits 0 unless it could not measure: it is a benchmark, not a test.
//
//   tarvex_bench --native PATH --static PATH    (inside the device sandbox, as root;
//                                               scripts/bench.sh builds and runs it)
//
// The passes run in a child process that is pi in /home/pi, as the daemon is
// on a device, and measure themselves there: getrusage for the CPU (the
// children's part counts every command the pass waited for, with what those
// waited for in turn: sh, sudo, fdisk, mountpoint), and the sandbox PID
// namespace's last handed-out pid for the processes started (see lastPid()).
// Not counted anywhere: the exFAT key's FUSE driver, which is nobody's child,
// serving the pass's listing of the mount point.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/mount_point.hpp"
#include "storage/usb_key_probe.hpp"
#include "supervisor/supervisor.hpp"
#include "watchdog/app_watchdog.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMeasuredPasses = 50;
constexpr int kSleepers = 300;
constexpr int kLookupRuns = 200;
constexpr int kPgrepRuns = 20;
constexpr int kDaemonSeconds = 15;
constexpr double kShareTarget = 5.0;        // percent
constexpr long kStaticRssTargetKiB = 2048;  // 2 MiB
constexpr double kLookupSpeedupTarget = 10.0;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool sh(const std::string& command) {
    std::fflush(stdout);
    return std::system(command.c_str()) == 0;
}

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

[[noreturn]] void die(const std::string& what) {
    std::printf("bench: cannot measure: %s\n", what.c_str());
    std::exit(1);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int processCount() {
    int n = 0;
    if (DIR* proc = opendir("/proc")) {
        while (const dirent* entry = readdir(proc)) n += std::atoi(entry->d_name) > 0 ? 1 : 0;
        closedir(proc);
    }
    return n;
}

// Turns the calling (child) process into pi in /home/pi, as the systemd unit does.
void becomePi() {
    const passwd* pi = getpwnam("pi");
    if (pi == nullptr || initgroups("pi", pi->pw_gid) != 0 || setgid(pi->pw_gid) != 0 ||
        setuid(pi->pw_uid) != 0 || chdir(pi->pw_dir) != 0) {
        std::perror("bench: becoming pi");
        _exit(2);
    }
    setenv("HOME", pi->pw_dir, 1);
    setenv("USER", "pi", 1);
    setenv("LOGNAME", "pi", 1);
}

// Runs program as pi with stdout and stderr to logPath; returns its pid.
pid_t startAsPi(const std::string& program, const std::vector<std::string>& args,
                const std::string& logPath) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int devNull = open("/dev/null", O_RDONLY);
        if (log < 0 || devNull < 0 || dup2(devNull, 0) < 0 || dup2(log, 1) < 0 || dup2(log, 2) < 0)
            _exit(2);
        for (int fd = 3; fd < 1024; ++fd) close(fd);
        becomePi();
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// ----------------------------------------------------- pass runner ---

// Processes (and threads) started in this PID namespace so far: the kernel
// hands out pids in order, and ns_last_pid is the last one it gave. The
// sandbox namespace holds only this benchmark, the idle application stand-in
// and the sandbox's idle init while passes are measured, so the difference
// over a run of passes is what the passes started, down to the last sh.
long lastPid() {
    std::ifstream last("/proc/sys/kernel/ns_last_pid");
    long pid = -1;
    last >> pid;
    return pid;
}

double cpuMs(const rusage& usage) {
    auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct PassCost {
    double wallMs, selfMs, childrenMs, processes;  // per pass
};

// The steps of a pass without a key, each on its own: where the daemon's
// own CPU time goes. Own and children's ms per call, four steps.
void measureSteps(int count, FILE* replies) {
    const std::function<void()> steps[] = {
        [] { WatchApplication(); }, [] { (void)isUsbKeyInserted(); }, [] { (void)isMounted(); },
        [] { (void)isDeadMountAtMountPoint(); }};
    for (const auto& step : steps) {
        rusage selfBefore{}, childrenBefore{}, selfAfter{}, childrenAfter{};
        getrusage(RUSAGE_SELF, &selfBefore);
        getrusage(RUSAGE_CHILDREN, &childrenBefore);
        for (int i = 0; i < count; ++i) step();
        getrusage(RUSAGE_SELF, &selfAfter);
        getrusage(RUSAGE_CHILDREN, &childrenAfter);
        std::fprintf(replies, "%.4f %.4f ", (cpuMs(selfAfter) - cpuMs(selfBefore)) / count,
                     (cpuMs(childrenAfter) - cpuMs(childrenBefore)) / count);
    }
    std::fprintf(replies, "\n");
    std::fflush(replies);
}

// In the child: 'w N' runs N passes, 'm N' runs N passes and answers with
// their cost, 's N' times the steps of a pass N times each; 'q' ends.
[[noreturn]] void runPasses(FILE* commands, FILE* replies) {
    char command = 0;
    int count = 0;
    while (std::fscanf(commands, " %c %d", &command, &count) == 2 && command != 'q') {
        if (command == 's') {
            measureSteps(count, replies);
            continue;
        }
        rusage selfBefore{}, childrenBefore{}, selfAfter{}, childrenAfter{};
        const long pidBefore = lastPid();
        getrusage(RUSAGE_SELF, &selfBefore);
        getrusage(RUSAGE_CHILDREN, &childrenBefore);
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) runSupervisionPass();
        const double wall = msSince(start);
        getrusage(RUSAGE_SELF, &selfAfter);
        getrusage(RUSAGE_CHILDREN, &childrenAfter);
        const long pidAfter = lastPid();
        std::fflush(stdout);
        std::fprintf(replies, "%.4f %.4f %.4f %ld\n", wall / count,
                     (cpuMs(selfAfter) - cpuMs(selfBefore)) / count,
                     (cpuMs(childrenAfter) - cpuMs(childrenBefore)) / count, pidAfter - pidBefore);
        std::fflush(replies);
    }
    _exit(0);
}

class Runner {
public:
    // Forked first thing, so the daemon's process carries nothing of the benchmark.
    void start() {
        int commands[2], replies[2];
        if (pipe2(commands, O_CLOEXEC) != 0 || pipe2(replies, O_CLOEXEC) != 0) die("pipe");
        std::fflush(stdout);
        pid_ = fork();
        if (pid_ < 0) die("fork");
        if (pid_ == 0) {
            const int log = open("/tmp/bench-passes.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int devNull = open("/dev/null", O_RDONLY);
            if (log < 0 || devNull < 0 || dup2(devNull, 0) < 0 || dup2(log, 1) < 0 ||
                dup2(log, 2) < 0)
                _exit(2);
            for (int fd = 3; fd < 1024; ++fd)
                if (fd != commands[0] && fd != replies[1]) close(fd);
            becomePi();
            runPasses(fdopen(commands[0], "r"), fdopen(replies[1], "w"));
        }
        close(commands[0]);
        close(replies[1]);
        commands_ = fdopen(commands[1], "w");
        replies_ = fdopen(replies[0], "r");
    }

    void warm(int passes) { (void)run('w', passes); }

    // Own and children's CPU ms per call of the four steps of a pass without a key.
    std::vector<double> steps(int count) {
        std::fprintf(commands_, "s %d\n", count);
        std::fflush(commands_);
        std::vector<double> ms(8);
        for (double& value : ms)
            if (std::fscanf(replies_, "%lf", &value) != 1) die("the pass runner died");
        return ms;
    }
    PassCost measure(int passes) { return run('m', passes); }

    void stop() {
        std::fprintf(commands_, "q 0\n");
        std::fflush(commands_);
        waitpid(pid_, nullptr, 0);
    }

private:
    PassCost run(char command, int passes) {
        std::fprintf(commands_, "%c %d\n", command, passes);
        std::fflush(commands_);
        PassCost cost{};
        long pids = 0;
        if (std::fscanf(replies_, "%lf %lf %lf %ld", &cost.wallMs, &cost.selfMs, &cost.childrenMs,
                        &pids) != 4)
            die("the pass runner died; see /tmp/bench-passes.log");
        cost.processes = static_cast<double>(pids) / passes;
        return cost;
    }

    pid_t pid_ = -1;
    FILE* commands_ = nullptr;
    FILE* replies_ = nullptr;
};

// --------------------------------------------------------- lookup ---

struct Lookup {
    double inProcessMs, pgrepMs;
    size_t found;
    bool sameAnswer;
};

// pgrep as the daemon would have to run it: a process started per look,
// its output read through a pipe.
std::vector<int> runPgrep(double* ms) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) die("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const char* const argv[] = {"pgrep", "-x", "Quorl", nullptr};
    const auto start = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "pgrep", &actions, nullptr, const_cast<char* const*>(argv), environ) !=
        0)
        die("cannot start pgrep");
    close(out[1]);
    std::string text;
    char buffer[512];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, got);
    waitpid(pid, nullptr, 0);
    *ms = msSince(start);
    close(out[0]);
    posix_spawn_file_actions_destroy(&actions);
    std::vector<int> pids;
    std::istringstream lines(text);
    int p;
    while (lines >> p) pids.push_back(p);
    return pids;
}

// Interleaved, so both see the same table and the same machine load.
Lookup timeLookup() {
    std::vector<double> inProcess, pgrep;
    std::vector<int> ours, theirs;
    const int perRound = kLookupRuns / kPgrepRuns;
    for (int round = 0; round < kPgrepRuns; ++round) {
        for (int i = 0; i < perRound; ++i) {
            const auto start = Clock::now();
            ours = getProcIdByName("Quorl");
            inProcess.push_back(msSince(start));
        }
        double ms = 0;
        theirs = runPgrep(&ms);
        pgrep.push_back(ms);
    }
    std::sort(ours.begin(), ours.end());
    std::sort(theirs.begin(), theirs.end());
    return {median(inProcess), median(pgrep), ours.size(), ours == theirs && !ours.empty()};
}

// --------------------------------------------------------- memory ---

struct Resident {
    long rss = -1, hwm = -1, anon = -1, file = -1;
    bool mounted = false;
    long binaryKiB = 0;
};

long statusField(const std::string& status, const char* name) {
    const size_t at = status.find(std::string("\n") + name + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(name) + 2);
}

// The real daemon, started as on a device, with a key in: start-up (8 s) and
// a few passes with the key mounted, then its memory as the kernel counts it.
Resident residentOfDaemon(const std::string& binary, const char* label) {
    Resident r;
    std::ifstream size(binary, std::ios::ate | std::ios::binary);
    r.binaryKiB = static_cast<long>(size.tellg()) / 1024;
    const std::string log = std::string("/tmp/tarvexd-") + label + ".log";
    const pid_t pid = startAsPi(binary, {}, log);
    std::this_thread::sleep_for(std::chrono::seconds(kDaemonSeconds));
    const std::string status = "\n" + fileText("/proc/" + std::to_string(pid) + "/status");
    r.rss = statusField(status, "VmRSS");
    r.hwm = statusField(status, "VmHWM");
    r.anon = statusField(status, "RssAnon");
    r.file = statusField(status, "RssFile");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    r.mounted = fileText(log).find("Mounted\n") != std::string::npos;
    sh("umount /home/pi/media 2>/dev/null; true");
    return r;
}

// --------------------------------------------------------- report ---

std::string cpuModel() {
    std::istringstream info(fileText("/proc/cpuinfo"));
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("model name", 0) == 0 || line.rfind("Model", 0) == 0) {
            return line.substr(line.find(':') + 2);
        }
    }
    return "unknown";
}

const char* verdict(bool met) { return met ? "PASS" : "MISS"; }

void printPassRow(const char* what, int table, const PassCost& c, bool hasTarget) {
    const double share = 100 * c.selfMs / (c.selfMs + c.childrenMs);
    std::printf("  %-34s %5d %8.2f %8.3f %9.2f %7.2f %7.2f %%  %s\n", what, table, c.wallMs,
                c.selfMs, c.childrenMs, c.processes, share,
                hasTarget ? verdict(share < kShareTarget) : "(context, no target)");
}

}  // namespace

int main(int argc, char** argv) {
    std::string native, staticBinary;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--native") == 0) native = argv[i + 1];
        if (std::strcmp(argv[i], "--static") == 0) staticBinary = argv[i + 1];
    }
    if (native.empty() || staticBinary.empty()) {
        std::fprintf(stderr, "usage: tarvex_bench --native TARVEXD --static TARVEXD\n");
        return 2;
    }
    if (geteuid() != 0 || access("/run/tarvex/bin/key", X_OK) != 0) {
        std::fprintf(stderr, "tarvex_bench: run as root inside the device sandbox\n");
        return 2;
    }
    Runner runner;
    runner.start();

    // The application is up, so the watchdog only looks, as on a running device.
    if (!sh("cp /run/tarvex/Quorl.app /home/pi/Quorl && chown pi:pi /home/pi/Quorl"))
        die("cannot install the application stand-in");
    startAsPi("/home/pi/Quorl", {}, "/dev/null");
    if (!sh("key create k --table dos 32M:exfat 64M:exfat >/dev/null")) die("cannot make the key");

    // Past the watchdog's ten grace passes, so every measured pass scans /proc.
    runner.warm(12);
    const int smallTable = processCount();
    const PassCost idle = runner.measure(kMeasuredPasses);
    const std::vector<double> steps = runner.steps(kMeasuredPasses);

    if (!sh("key insert k sda")) die("cannot insert the key");
    runner.warm(3);  // mounts it (and looks once: nothing there)
    if (fileText("/proc/self/mountinfo").find(" /home/pi/media ") == std::string::npos)
        die("the key did not get mounted");
    const PassCost keyed = runner.measure(kMeasuredPasses);
    if (!sh("key pull sda")) die("cannot pull the key");
    runner.warm(2);

    // A fuller process table: the watchdog reads every process's command line.
    std::vector<pid_t> sleepers;
    for (int i = 0; i < kSleepers; ++i) {
        pid_t pid = 0;
        const char* const sleepArgs[] = {"sleep", "100000", nullptr};
        if (posix_spawnp(&pid, "sleep", nullptr, nullptr, const_cast<char* const*>(sleepArgs),
                         environ) != 0)
            die("cannot start sleep");
        sleepers.push_back(pid);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // all exec'd
    const int bigTable = processCount();
    const PassCost idleBig = runner.measure(kMeasuredPasses);
    runner.stop();
    const Lookup lookup = timeLookup();
    for (const pid_t pid : sleepers) kill(pid, SIGKILL);
    for (const pid_t pid : sleepers) waitpid(pid, nullptr, 0);

    if (!sh("key insert k sda")) die("cannot insert the key");
    const Resident nativeMemory = residentOfDaemon(native, "native");
    const Resident staticMemory = residentOfDaemon(staticBinary, "static");

    utsname machine{};
    uname(&machine);
    std::printf("\nmachine: %ld CPUs, %s; kernel %s %s\n", sysconf(_SC_NPROCESSORS_ONLN),
                cpuModel().c_str(), machine.release, machine.machine);

    std::printf(
        "\nsupervision pass, run as pi, mean of %d passes (CPU: getrusage user+sys; "
        "processes: pids handed out in the sandbox's PID namespace)\n",
        kMeasuredPasses);
    std::printf("  %-34s %5s %8s %8s %9s %7s %9s  %s\n", "", "procs", "wall ms", "self ms",
                "child ms", "started", "own share", "target < 5 %");
    printPassRow("no key", smallTable, idle, true);
    printPassRow("2-partition exFAT key, mounted", smallTable, keyed, true);
    printPassRow("no key, fuller process table", bigTable, idleBig, false);
    std::printf("  the no-key pass step by step, CPU ms per call (own / children's):\n");
    const char* const stepNames[] = {"application watchdog (/proc scan)",
                                     "key probe (/dev listing)", "mount test (sh + mountpoint)",
                                     "dead-mount check (mountinfo)"};
    for (int i = 0; i < 4; ++i)
        std::printf("    %-36s %8.3f / %.3f\n", stepNames[i], steps[2 * size_t(i)],
                    steps[2 * size_t(i) + 1]);

    std::printf("\nresident memory of the real tarvexd, run as pi with a key in, after %d s\n",
                kDaemonSeconds);
    std::printf("  %-10s %10s %10s %10s %10s %11s  %s\n", "build", "VmRSS KiB", "VmHWM KiB",
                "RssAnon", "RssFile", "binary KiB", "target: static < 2 MiB");
    auto memoryRow = [](const char* label, const Resident& r, bool hasTarget) {
        std::printf("  %-10s %10ld %10ld %10ld %10ld %11ld  %s%s\n", label, r.rss, r.hwm, r.anon,
                    r.file, r.binaryKiB,
                    hasTarget ? verdict(r.rss >= 0 && r.rss < kStaticRssTargetKiB) : "(no target)",
                    r.mounted ? "" : "  (key never mounted: not at steady state)");
    };
    memoryRow("native", nativeMemory, false);
    memoryRow("static", staticMemory, true);

    const double speedup = lookup.pgrepMs / lookup.inProcessMs;
    std::printf("\napplication lookup over %d processes (%zu match)%s\n", bigTable, lookup.found,
                lookup.sameAnswer ? "" : "  WARNING: pgrep and the lookup disagree");
    std::printf("  getProcIdByName(\"Quorl\"), in-process  median of %3d: %8.3f ms\n", kLookupRuns,
                lookup.inProcessMs);
    std::printf("  pgrep -x Quorl, one process started  median of %3d: %8.3f ms\n", kPgrepRuns,
                lookup.pgrepMs);
    std::printf("  in-process is %.1fx faster                                target >= %.0fx  %s\n",
                speedup, kLookupSpeedupTarget, verdict(speedup >= kLookupSpeedupTarget));
    return 0;
}
