// What the daemon costs a device: CPU and processes per supervision pass, the
// resident memory of the real binary, and the application lookup against
// starting pgrep. Prints figures with PASS or MISS against each target and
// always exits 0 unless it could not measure: it is a benchmark, not a test.
//
//   tarvex_bench --native PATH --static PATH    (inside the device sandbox, as root;
//                                               scripts/bench.sh builds and runs it)
//
// The passes run in the shared pass runner's child process, pi in /home/pi as
// the daemon is on a device, and measure themselves there (see
// pass_runner.hpp). The sandbox PID namespace holds only this benchmark, the
// idle application stand-in and the sandbox's idle init while passes are
// measured, so the pids handed out are what the passes started. Not counted
// anywhere: the exFAT key's FUSE driver, which is nobody's child, serving the
// pass's listing of the mount point.
#include <dirent.h>
#include <fcntl.h>
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "pass_runner.hpp"
#include "sandbox_shell.hpp"
#include "storage/mount_point.hpp"
#include "storage/usb_key_probe.hpp"
#include "tarvex_constants.hpp"
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
// A pass with a key left in, mounted and looked at, against one without.
constexpr double kSteadyWallTarget = 1.5;

using sandbox::fileText;
using sandbox::PassCost;
using sandbox::sh;
using sandbox::statusField;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
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

// Runs program as pi with stdout and stderr to logPath; returns its pid.
pid_t startAsPi(const std::string& program, const std::vector<std::string>& args,
                const std::string& logPath) {
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log < 0) _exit(2);
        sandbox::becomePi(log, log);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// ----------------------------------------------------- pass runner ---

// In the pass runner's child, answering Request::Steps: the steps of a pass
// without a key, each on its own, COUNT times: where the daemon's own CPU time
// goes. Own and children's ms per call, four steps.
void measureSteps(int count, int replies) {
    const std::function<void()> steps[] = {
        [] { WatchApplication(); }, [] { (void)isUsbKeyInserted(); }, [] { (void)isMounted(); },
        [] { (void)isDeadMountAtMountPoint(); }};
    double ms[8];
    for (size_t i = 0; i < 4; ++i) {
        const double self = sandbox::cpuMs(RUSAGE_SELF), children = sandbox::cpuMs(RUSAGE_CHILDREN);
        for (int n = 0; n < count; ++n) steps[i]();
        ms[2 * i] = (sandbox::cpuMs(RUSAGE_SELF) - self) / count;
        ms[2 * i + 1] = (sandbox::cpuMs(RUSAGE_CHILDREN) - children) / count;
    }
    if (write(replies, ms, sizeof ms) != sizeof ms) _exit(4);
}

class Runner {
public:
    // Forked first thing, so the daemon's process carries nothing of the benchmark.
    void start() {
        const int log =
            open("/tmp/bench-passes.log", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log < 0 || !passes_.start(log, log, {{sandbox::Request::Steps, measureSteps}}))
            die("cannot start the passes");
        close(log);
    }

    void warm(int passes) { (void)measure(passes); }

    // Own and children's CPU ms per call of the four steps of a pass without a key.
    std::vector<double> steps(int count) {
        std::vector<double> ms(8);
        if (!passes_.request(sandbox::Request::Steps, count) ||
            !passes_.reply(ms.data(), ms.size() * sizeof(double)))
            die("the pass runner died");
        return ms;
    }

    PassCost measure(int passes) {
        PassCost cost;
        if (!passes_.passes(passes, &cost)) die("the pass runner died; see /tmp/bench-passes.log");
        return cost;
    }

    void stop() { passes_.stop(); }

private:
    sandbox::PassRunner passes_;
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
    const char* const argv[] = {"pgrep", "-x", tarvex::kApplicationName, nullptr};
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
            ours = getProcIdByName(tarvex::kApplicationName);
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

// The real daemon, started as on a device, with a key in: start-up (8 s) and
// a few passes with the key mounted, then its memory as the kernel counts it.
Resident residentOfDaemon(const std::string& binary, const char* label) {
    Resident r;
    std::ifstream size(binary, std::ios::ate | std::ios::binary);
    r.binaryKiB = static_cast<long>(size.tellg()) / 1024;
    const std::string log = std::string("/tmp/tarvexd-") + label + ".log";
    // A copy: pi may not be able to enter the checkout it was built in.
    const std::string copy = std::string("/run/tarvex/tarvexd-") + label;
    if (!sh("install -m 755 '" + binary + "' " + copy)) return r;
    const pid_t pid = startAsPi(copy, {}, log);
    std::this_thread::sleep_for(std::chrono::seconds(kDaemonSeconds));
    const std::string status = "\n" + fileText("/proc/" + std::to_string(pid) + "/status");
    r.rss = statusField(status, "VmRSS");
    r.hwm = statusField(status, "VmHWM");
    r.anon = statusField(status, "RssAnon");
    r.file = statusField(status, "RssFile");
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    r.mounted = fileText(log).find(std::string(tarvex::kLineMounted) + "\n") != std::string::npos;
    sh(std::string("umount ") + tarvex::kMountPoint + " 2>/dev/null; true");
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
    if (fileText("/proc/self/mountinfo").find(std::string(" ") + tarvex::kMountPoint + " ") ==
        std::string::npos)
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
    // With its partition sizes known, a key pass starts what a pass without a
    // key starts, so its own share is no longer a share of fdisk runs and says
    // little: the steady row below holds its target.
    printPassRow("2-partition exFAT key, mounted", smallTable, keyed, false);
    printPassRow("no key, fuller process table", bigTable, idleBig, false);
    std::printf("  the no-key pass step by step, CPU ms per call (own / children's):\n");
    const char* const stepNames[] = {"application watchdog (/proc scan)",
                                     "key probe (/dev listing)", "mount test (sh + mountpoint)",
                                     "dead-mount check (mountinfo)"};
    for (int i = 0; i < 4; ++i)
        std::printf("    %-36s %8.3f / %.3f\n", stepNames[i], steps[2 * size_t(i)],
                    steps[2 * size_t(i) + 1]);
    // Once its key is mounted and looked at, a pass should cost what one
    // without a key does: nothing to read off the key again.
    const double steadyWall = keyed.wallMs / idle.wallMs;
    std::printf(
        "\ntwo-partition key, steady (mounted, already looked at) against no key, same run\n"
        "  processes started %.2f (no key %.2f), wall %.2f ms = %.2fx no key   "
        "target: no more processes, <= %.1fx wall  %s\n",
        keyed.processes, idle.processes, keyed.wallMs, steadyWall, kSteadyWallTarget,
        verdict(keyed.processes <= idle.processes && steadyWall <= kSteadyWallTarget));

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
