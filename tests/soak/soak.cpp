// Soak run: thousands of supervision passes back to back (without the 3 s
// sleep) through key insertions and pulls, dead keys, update runs with log
// hand-offs, mounts that can no longer be listed and deaths of the
// application. It fails as soon as the daemon does something a device would
// not do, and at the end when the daemon's process holds more descriptors,
// threads, children or resident memory than after warm-up.
//
//   tarvex_soak [--passes N] [--seed S]      (inside the device sandbox, as root)
//
// The passes run in a child process that is pi in /home/pi, as the daemon is
// on a device, so sudo, the key's owner options and the update scripts work
// as they do there. This process plays the person with the keys, predicts
// what each pass must print and leave behind, and watches the child from
// outside through /proc: none of its own bookkeeping counts against the daemon.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/format_text.hpp"
#include "pass_runner.hpp"
#include "sandbox_shell.hpp"
#include "storage/mount_table.hpp"
#include "tarvex_constants.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Resident memory may end this much above its level after warm-up, not
// counting file-backed pages (RssFile). The daemon's heap is reused from pass
// to pass, but glibc gives memory back to the kernel only once 128 KiB are free
// at the top of the heap, and a heap or stack page first touched late (a longer
// error text, a deeper call on a rare path) stays resident: a few pages of
// noise, never a trend. Eight pages hold that; a leak of a mere 4 bytes a pass
// is 40 KiB over 10,000 passes. File-backed pages are the program's and the
// libraries' code and constants, mapped in as first used, in chunks of up to
// 16 pages whose size depends on what else on the machine has the same library
// pages cached: they vary between runs, are bounded by the files' size, and a
// daemon cannot leak them without leaking mappings, which are counted apart.
constexpr long kRssToleranceKiB = 32;

constexpr double kPassTimeoutSeconds = 120;
constexpr int kMaxDeadKeyEpisodes = 4;  // each pass with a dead key costs ~4.5 s

using tarvex::kLocalLogPath;
using tarvex::kMountPoint;
const std::string kKeyLog = std::string(kMountPoint) + "/" + tarvex::kKeyLogFileName;
const char* const kDaemonStderr = "/tmp/soak-daemon-stderr.log";

// "FOLDER/quorlupdate.sh" of the update or the post-update folder, below DIR.
std::string scriptIn(const std::string& dir, bool post) {
    return dir + "/" + (post ? tarvex::kPostUpdateFolder : tarvex::kUpdateFolder) + "/" +
           tarvex::kUpdateScriptName;
}

// The file a sound command of the daemon plays, as the sandbox's aplay records it.
std::string soundOf(const std::string& command) { return command.substr(command.rfind(' ') + 1); }

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

using sandbox::output;
using sandbox::readFile;
using sandbox::sh;
using sandbox::statusField;

std::string show(const std::optional<std::string>& text) {
    return text ? "\"" + *text + "\"" : std::string("(no file)");
}

bool waitUntil(const std::function<bool()>& condition, double seconds) {
    const auto start = Clock::now();
    while (!condition()) {
        if (secondsSince(start) > seconds) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// splitmix64: the same schedule for the same seed on every machine and library.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    int between(int low, int high) {
        if (high <= low) return low;
        return low + static_cast<int>(next() % static_cast<uint64_t>(high - low + 1));
    }
    bool chance(double probability) {
        return static_cast<double>(next() >> 11) / 9007199254740992.0 < probability;
    }

private:
    uint64_t state_;
};

// The daemon's process, and the read end of its stdout.
struct Runner {
    sandbox::PassRunner passes;
    int output = -1;
};

// ------------------------------------------------------------- /proc ---

struct Process {
    int pid;
    int ppid;
    char state;
    std::string comm;
};

std::vector<Process> processTable() {
    std::vector<Process> table;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return table;
    while (const dirent* entry = readdir(proc)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        const auto stat = readFile(std::string("/proc/") + entry->d_name + "/stat");
        if (!stat) continue;
        // The name is in parentheses and may hold anything, parentheses too.
        const size_t open = stat->find('('), close = stat->rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 4 > stat->size())
            continue;
        Process p{pid, 0, (*stat)[close + 2], stat->substr(open + 1, close - open - 1)};
        p.ppid = std::atoi(stat->c_str() + close + 4);
        table.push_back(p);
    }
    closedir(proc);
    return table;
}

std::vector<std::string> commandLine(int pid) {
    std::vector<std::string> args;
    const auto text = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    if (!text) return args;
    std::string arg;
    for (const char c : *text) {
        if (c == '\0') {
            args.push_back(arg);
            arg.clear();
        } else {
            arg += c;
        }
    }
    return args;
}

// Live (not zombie) instances of the application.
std::vector<int> applicationPids() {
    std::vector<int> pids;
    for (const Process& p : processTable()) {
        if (p.comm == "Quorl" && p.state != 'Z') pids.push_back(p.pid);
    }
    return pids;
}

// FUSE drivers serving the mount point (an exFAT key's).
std::vector<int> fuseDriverPids() {
    std::vector<int> pids;
    for (const Process& p : processTable()) {
        if (p.comm.rfind("mount.exfat", 0) != 0 || p.state == 'Z') continue;
        const auto args = commandLine(p.pid);
        // Started on the mount point as the root program's open directory.
        const bool here = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
            return arg == kMountPoint || arg.rfind("/proc/self/fd/", 0) == 0;
        });
        if (here) pids.push_back(p.pid);
    }
    return pids;
}

int applicationStarts() {
    const auto log = readFile("/tmp/quorl-starts.log");
    return log ? static_cast<int>(std::count(log->begin(), log->end(), '\n')) : 0;
}

// Sources of what the kernel has mounted at path, bottom first, as the
// daemon's own mountinfo reader sees them.
std::vector<std::string> mountSources(const std::string& path) {
    std::vector<std::string> sources;
    for (const MountEntry& mount : readMountTable().valueOr({})) {
        if (mount.mountPoint == path) sources.push_back(mount.source);
    }
    return sources;
}

long mountCount() {
    const auto mounts = readMountTable();
    return mounts ? static_cast<long>(mounts->size()) : -1;
}

// "0 /dev/null, 1 pipe:[123], ..." for the report.
std::string fdTargets(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    std::vector<int> fds;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(d))
            if (entry->d_name[0] != '.') fds.push_back(std::atoi(entry->d_name));
        closedir(d);
    }
    std::sort(fds.begin(), fds.end());
    std::string text;
    for (const int fd : fds) {
        char target[256] = {};
        const ssize_t n = readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1);
        text += (text.empty() ? "" : ", ") + std::to_string(fd) + " " +
                (n > 0 ? std::string(target, static_cast<size_t>(n)) : "?");
    }
    return text;
}

// Lines of /proc/PID/maps, with adjacent pieces of the brk heap counted as
// one: the daemon's process is forked, and when its heap first grows past what
// it inherited, the kernel cannot merge the new piece with the inherited one
// (their anonymous memory has different owners), so one more "[heap]" line
// appears once, in warm-up or later. The heap's growth is measured in bytes.
long countMappings(const std::string& maps) {
    long n = 0;
    std::string previousEnd;
    bool previousHeap = false;
    std::istringstream lines(maps);
    std::string line;
    while (std::getline(lines, line)) {
        const auto dash = line.find('-');
        const auto space = line.find(' ');
        if (dash == std::string::npos || space == std::string::npos || space < dash) continue;
        const bool heap = line.size() >= 6 && line.compare(line.size() - 6, 6, "[heap]") == 0;
        if (!(heap && previousHeap && line.compare(0, dash, previousEnd) == 0)) ++n;
        previousEnd = line.substr(dash + 1, space - dash - 1);
        previousHeap = heap;
    }
    return n;
}

// Resident KiB of each mapping ("start-end name"), to show where memory grew.
std::map<std::string, long> residentByMapping(pid_t pid) {
    std::map<std::string, long> rss;
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::string line, mapping;
    while (std::getline(smaps, line)) {
        if (line.rfind("Rss:", 0) == 0) {
            rss[mapping] = std::atol(line.c_str() + 4);
        } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
                   line.find(':') > line.find(' ')) {
            std::istringstream fields(line);
            std::string range, perms, offset, device, inode, name;
            fields >> range >> perms >> offset >> device >> inode;
            std::getline(fields >> std::ws, name);
            mapping = range + " " + perms + " " + (name.empty() ? "[anon]" : name);
        }
    }
    return rss;
}

long entriesIn(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return -1;
    long n = 0;
    while (const dirent* entry = readdir(d)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++n;
    }
    closedir(d);
    return n;
}

// What the daemon's process holds, seen from outside.
struct Usage {
    long fds = 0, threads = 0, children = 0, rssKiB = 0, hwmKiB = 0, anonKiB = 0, fileKiB = 0;
    long sandboxProcesses = 0, mounts = 0, mappings = 0, heapBytes = 0;
};

uint64_t heapInUse(Runner& runner) {
    uint64_t inUse = 0;
    if (!runner.passes.request(sandbox::Request::HeapInUse, 0) ||
        !runner.passes.reply(&inUse, sizeof inUse)) {
        std::printf("soak: FAIL: the daemon's process does not answer\n");
        std::exit(1);
    }
    return inUse;
}

Usage sampleOnce(Runner& runner) {
    Usage u;
    u.heapBytes = static_cast<long>(heapInUse(runner));
    const std::string proc = "/proc/" + std::to_string(runner.passes.pid());
    u.fds = entriesIn(proc + "/fd");
    const std::string status = "\n" + readFile(proc + "/status").value_or("");
    u.threads = statusField(status, "Threads");
    u.rssKiB = statusField(status, "VmRSS");
    u.hwmKiB = statusField(status, "VmHWM");
    u.anonKiB = statusField(status, "RssAnon");
    u.fileKiB = statusField(status, "RssFile");
    u.mappings = countMappings(readFile(proc + "/maps").value_or(""));
    const auto table = processTable();
    u.children = std::count_if(table.begin(), table.end(),
                               [&](const Process& p) { return p.ppid == runner.passes.pid(); });
    u.sandboxProcesses = static_cast<long>(table.size());
    u.mounts = mountCount();
    return u;
}

// The beeper runs a short aplay once a second; a sample taken just then sees
// one more child (and the processes under it). Eight samples over 1.2 s, and
// the least of each figure: anything leaked is there in every sample.
struct UsageSpan {
    Usage least, most;
};

UsageSpan sample(Runner& runner) {
    UsageSpan span{sampleOnce(runner), {}};
    span.most = span.least;
    for (int i = 1; i < 8; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        const Usage u = sampleOnce(runner);
        auto both = [&](long Usage::*field) {
            span.least.*field = std::min(span.least.*field, u.*field);
            span.most.*field = std::max(span.most.*field, u.*field);
        };
        for (auto field :
             {&Usage::fds, &Usage::threads, &Usage::children, &Usage::rssKiB, &Usage::hwmKiB,
              &Usage::anonKiB, &Usage::fileKiB, &Usage::sandboxProcesses, &Usage::mounts,
              &Usage::mappings, &Usage::heapBytes}) {
            both(field);
        }
    }
    return span;
}

// ------------------------------------------------------------ runner ---

// Bytes the allocator has handed out and not got back, all arenas, in the
// daemon's process: a leak shows here byte for byte, long before it shows in
// pages.
void answerHeapInUse(int /*count*/, int replies) {
    const struct mallinfo2 info = mallinfo2();
    const uint64_t inUse = info.uordblks + info.hblkhd;
    if (write(replies, &inUse, sizeof inUse) != sizeof inUse) _exit(4);
}

// Status lines on stdout, read by the soak; the tools' complaints on stderr,
// kept apart in a file: an aplay of the beeper writes its line in pieces, and
// a status line could land in the middle of one.
Runner startRunner() {
    Runner runner;
    int out[2];
    const int errors =
        open(kDaemonStderr, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (pipe2(out, O_CLOEXEC) != 0 || errors < 0 ||
        !runner.passes.start(out[1], errors, {{sandbox::Request::HeapInUse, answerHeapInUse}})) {
        std::perror("soak: starting the daemon's process");
        std::exit(2);
    }
    close(out[1]);
    close(errors);
    runner.output = out[0];
    fcntl(runner.output, F_SETFL, O_NONBLOCK);
    // A dead runner must fail the run, not kill it with SIGPIPE. Set here, not
    // before the fork: an ignored SIGPIPE would be inherited by every command
    // the daemon runs.
    signal(SIGPIPE, SIG_IGN);
    return runner;
}

// ------------------------------------------------------------ keys ---

enum class Kind {
    Exfat,   // mounted with the owner options
    Ext4,    // refuses them: the plain mount; root's directory, pi cannot write
    Locked,  // ext4 whose top directory pi cannot list: remounted every pass
    Dead,    // no file system: every pass fails three mount attempts
};

struct Key {
    const char* name;
    const char* layout;
    Kind kind;
    const char* source;  // what the daemon must mount: the largest partition
    bool updateFolder, updateScript, updateWritesLog, updateKillsApp;
    bool postFolder, postScript;
    int weight, minSteady, maxSteady;
    std::optional<std::string> log = std::nullopt;  // the log.txt on the key
    int insertions = 0;
    std::string steadyLabel = std::string("steady ") + name;
};

const std::string kUpdateScript = std::string("id=$(cat /tmp/soak-id)\n") +
                                  "echo \"update $id\" >> " + kLocalLogPath + "\n" +
                                  "KILL"
                                  "echo \"soak-update-ran $id\"\n";
const char* const kPostScript = "echo \"soak-post-ran $(cat /tmp/soak-id)\"\n";

std::string updateScript(const Key& key) {
    if (!key.updateWritesLog) return "echo \"soak-update-ran $(cat /tmp/soak-id)\"\n";
    std::string text = kUpdateScript;
    text.replace(text.find("KILL"), 4, key.updateKillsApp ? "pkill -x Quorl || true\n" : "");
    return text;
}

std::string precious(const Key& key) { return std::string("precious ") + key.name + "\n"; }

// ------------------------------------------------------------ soak ---

enum class MountState { None, Live, DeadFuse };

// What the device should look like; the daemon's globals included, as the
// documented behaviour defines them: a look once per insertion seen after a
// pass without a key, a remount after any lost mount.
struct Model {
    int inserted = -1;  // key index at sda
    MountState mount = MountState::None;
    int mountedKey = -1;
    bool ours = false;   // the daemon recorded a mount of its own
    bool armed = false;  // the next mount of its own gets a look
    std::optional<std::string> pendingLog;
    bool appAlive = false;
    int appStarts = 0;
    long passes = 0;
};

struct Expectation {
    std::vector<std::string> lines;
    bool relaunch = false;
    bool appKilled = false;
};

struct Counters {
    long passes = 0, warmupPasses = 0, insertions = 0, looks = 0, updateRuns = 0, postRuns = 0;
    long handOffs = 0, handOffsRefused = 0, appKills = 0, scriptAppKills = 0, relaunches = 0;
    long fuseKills = 0, handUnmounts = 0, lockedRemounts = 0, deadKeyPasses = 0;
    long keyLogsCleared = 0;
    std::map<std::string, std::pair<long, double>> passTimes;  // kind: count, seconds
};

// A status line's text up to what is filled in.
std::string fixedStart(const char* format) {
    const std::string text = format;
    return text.substr(0, text.find('%'));
}

bool isDaemonLine(const std::string& line) {
    static const char* const exact[] = {tarvex::kLineMounted, tarvex::kLineUnmounting,
                                        tarvex::kLineMountFallback, tarvex::kLineMountCheckError,
                                        tarvex::kLinePartitionSizeFailed};
    static const std::string prefixes[] = {fixedStart(tarvex::kLineCannotCheck),
                                           fixedStart(tarvex::kLineCannotCopyLog),
                                           fixedStart(tarvex::kLineCannotRemoveLog),
                                           tarvex::kLineProcessTableUnreadable,
                                           tarvex::kLineNotRemovingMountPoint,
                                           std::string(kMountPoint) + "/",
                                           formatText(tarvex::kScriptCommand, kMountPoint),
                                           "soak-"};
    for (const char* e : exact)
        if (line == e) return true;
    for (const std::string& p : prefixes)
        if (line.rfind(p, 0) == 0) return true;
    return false;
}

class Soak {
public:
    Soak(Runner runner, uint64_t seed, long passes) : runner_(runner), rng_(seed), target_(passes) {
        keys_ = {
            // name, layout, kind, source, update folder/script/log/kill, post folder/script,
            // weight, steady passes
            {"upd", "--table dos 64M:exfat", Kind::Exfat, "/dev/sda1", true, true, true, true, true,
             true, 22, 1, 10},
            {"two", "--table dos 16M:exfat 48M:exfat", Kind::Exfat, "/dev/sda2", true, false, false,
             false, true, true, 16, 1, 6},
            {"bare", "--table none 64M:exfat", Kind::Exfat, "/dev/sda", true, true, false, false,
             false, false, 30, 15, 120},
            {"ext4", "--table dos 64M:ext4", Kind::Ext4, "/dev/sda1", true, true, true, false, true,
             true, 14, 1, 8},
            {"locked", "--table dos 64M:ext4", Kind::Locked, "/dev/sda1", true, true, true, false,
             true, true, 8, 1, 3},
            {"dead", "--table dos 64M:raw", Kind::Dead, "", false, false, false, false, false,
             false, 2, 0, 0},
        };
    }

    int run() {
        const auto start = Clock::now();
        makeKeys();
        std::printf("soak: keys made in %.1f s\n", secondsSince(start));
        warmUp();
        const UsageSpan before = settleAndSample();
        counters_.warmupPasses = model_.passes;
        std::printf("soak: warm-up done after %ld passes, %.1f s\n", model_.passes,
                    secondsSince(start));
        printUsage("after warm-up", before.least);
        std::printf("soak: its descriptors: %s\n", fdTargets(runner_.passes.pid()).c_str());
        const auto mappingsBefore = residentByMapping(runner_.passes.pid());

        const auto mainStart = Clock::now();
        const long endAt = model_.passes + target_;
        long nextCheckpoint = model_.passes + 1000;
        while (model_.passes < endAt) {
            episode(endAt);
            if (model_.passes >= nextCheckpoint) {
                nextCheckpoint += 1000;
                const Usage u = sampleOnce(runner_);
                std::printf(
                    "soak: pass %5ld  %6.1f s  fds %ld, threads %ld, children %ld, "
                    "VmRSS %ld KiB (anon %ld, file %ld), heap in use %ld bytes\n",
                    model_.passes, secondsSince(start), u.fds, u.threads, u.children, u.rssKiB,
                    u.anonKiB, u.fileKiB, u.heapBytes);
                std::fflush(stdout);
            }
        }
        const double mainSeconds = secondsSince(mainStart);

        const UsageSpan after = settleAndSample();
        printUsage("at the end", after.least);
        std::printf("soak: its descriptors: %s\n", fdTargets(runner_.passes.pid()).c_str());
        printMappingChanges(mappingsBefore, residentByMapping(runner_.passes.pid()));
        checkKeysAtTheEnd();
        const bool grew = report(before, after, mainSeconds, secondsSince(start));
        sendQuit();
        return grew ? 1 : 0;
    }

private:
    // ------------------------------------------------------ world ---

    void makeKeys() {
        sh("rm -rf /tmp/soak-keys && mkdir -p /tmp/soak-keys");
        for (Key& key : keys_) {
            if (!sh(std::string("key create ") + key.name + " " + key.layout + " >/dev/null"))
                fail(std::string("cannot create key ") + key.name);
            if (key.kind == Kind::Dead) continue;
            const std::string dir = std::string("/tmp/soak-keys/") + key.name;
            writeTree(dir + "/keep/precious.txt", precious(key));
            if (key.updateFolder) sh("mkdir -p " + dir + "/" + tarvex::kUpdateFolder);
            if (key.updateScript) writeTree(scriptIn(dir, false), updateScript(key));
            if (key.postFolder) sh("mkdir -p " + dir + "/" + tarvex::kPostUpdateFolder);
            if (key.postScript) writeTree(scriptIn(dir, true), kPostScript);
            if (!sh(std::string("key put ") + key.name + " " + dir + " ."))
                fail(std::string("cannot fill key ") + key.name);
            if (key.kind == Kind::Locked && !sh(std::string("key chmod ") + key.name + " 0700 ."))
                fail("cannot lock key");
        }
        // The smaller first partition of the two-partition key carries an update
        // of its own: running it means the wrong partition was mounted.
        writeTree(scriptIn("/tmp/soak-keys/decoy", false), "echo soak-wrong-partition\n");
        writeTree(scriptIn("/tmp/soak-keys/decoy", true), "echo soak-wrong-partition\n");
        if (!sh("key put two:1 /tmp/soak-keys/decoy .")) fail("cannot fill key two:1");
        if (!sh("cp /run/tarvex/Quorl.app /home/pi/Quorl && chown pi:pi /home/pi/Quorl"))
            fail("cannot install the application stand-in");
        sh(std::string("rm -f /tmp/quorl-starts.log /tmp/aplay.log ") + kLocalLogPath);
    }

    static void writeTree(const std::string& path, const std::string& text) {
        sh("mkdir -p \"$(dirname " + path + ")\"");
        std::ofstream(path) << text;
    }

    int keyIndex(const char* name) const {
        for (size_t i = 0; i < keys_.size(); ++i)
            if (std::strcmp(keys_[i].name, name) == 0) return static_cast<int>(i);
        return -1;
    }

    void insert(int index) {
        Key& key = keys_[index];
        ++key.insertions;
        ++counters_.insertions;
        ++insertionId_;
        std::ofstream("/tmp/soak-id") << insertionId_ << "\n";
        if (!sh(std::string("key insert ") + key.name + " sda")) fail("key insert failed");
        model_.inserted = index;
    }

    void pull() {
        if (!sh("key pull sda")) fail("key pull failed");
        model_.inserted = -1;
    }

    void killApp() {
        const auto pids = applicationPids();
        if (pids.size() != 1) fail("expected one application to kill, found " + count(pids));
        kill(pids[0], SIGKILL);
        if (!waitUntil([] { return applicationPids().empty(); }, 5)) fail("application survives");
        model_.appAlive = false;
        ++counters_.appKills;
    }

    // What a crashing exFAT driver leaves: a mount the kernel still lists but
    // nobody can list or test.
    void killFuse() {
        const auto pids = fuseDriverPids();
        if (pids.size() != 1) fail("expected one FUSE driver, found " + count(pids));
        kill(pids[0], SIGKILL);
        if (!waitUntil([] { return fuseDriverPids().empty(); }, 5)) fail("FUSE driver survives");
        model_.mount = MountState::DeadFuse;
        ++counters_.fuseKills;
    }

    void unmountByHand() {
        if (!sh(std::string("umount ") + kMountPoint)) fail("umount by hand failed");
        model_.mount = MountState::None;
        ++counters_.handUnmounts;
    }

    // The next hand-off to this key would be refused while its log is there.
    void clearKeyLog(Key& key) {
        if (unlink(kKeyLog.c_str()) != 0) fail("cannot remove log.txt from the key");
        // Through to the key: a FUSE driver killed later must not bring it back.
        const int dir = open(kMountPoint, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || fsync(dir) != 0) fail("cannot flush the key's directory");
        close(dir);
        key.log.reset();
        ++counters_.keyLogsCleared;
    }

    // ------------------------------------------------------ passes ---

    Expectation predict() {
        Model& m = model_;
        Expectation e;
        e.relaunch = m.passes >= tarvex::kWatchdogGracePasses && !m.appAlive;
        const bool keyIn = m.inserted >= 0;
        const bool mounted = m.mount == MountState::Live;
        const bool listable = mounted && keys_[m.mountedKey].kind != Kind::Locked;
        if (mounted && (!keyIn || !listable)) {
            e.lines.push_back(tarvex::kLineUnmounting);
            m.mount = MountState::None;
            m.ours = false;
        } else if (!mounted) {
            m.ours = false;
            if (m.mount == MountState::DeadFuse) {
                e.lines.push_back(tarvex::kLineUnmounting);
                m.mount = MountState::None;
            }
        }
        if (!keyIn) {
            m.armed = true;
        } else if (!m.ours) {
            const Key& key = keys_[m.inserted];
            if (key.kind != Kind::Exfat) e.lines.push_back(tarvex::kLineMountFallback);
            if (key.kind == Kind::Dead) {
                e.lines.push_back(tarvex::kLineMountFallback);
                e.lines.push_back(tarvex::kLineMountFallback);
            } else {
                e.lines.push_back(tarvex::kLineMounted);
                m.mount = MountState::Live;
                m.mountedKey = m.inserted;
                m.ours = true;
            }
        }
        if (m.ours && m.armed) {
            m.armed = false;
            look(keys_[m.inserted], e);
        }
        if (e.relaunch && e.appKilled) fail("schedule error: relaunch and script kill in one pass");
        return e;
    }

    void look(Key& key, Expectation& e) {
        Model& m = model_;
        ++counters_.looks;
        const bool post = m.pendingLog.has_value();
        if (post) {
            const char* refusal =
                key.kind == Kind::Exfat ? (key.log ? "File exists" : nullptr) : "Permission denied";
            if (refusal != nullptr) {
                e.lines.push_back(formatText(tarvex::kLineCannotCopyLog, refusal));
                ++counters_.handOffsRefused;
            } else {
                key.log = m.pendingLog;
                m.pendingLog.reset();
                ++counters_.handOffs;
            }
        }
        const std::string script = scriptIn(kMountPoint, post);
        const std::string folder = script.substr(0, script.rfind('/'));
        const std::string id = std::to_string(insertionId_);
        if (key.kind == Kind::Locked) {
            e.lines.push_back(
                formatText(tarvex::kLineCannotCheck, folder.c_str(), "Permission denied"));
            return;
        }
        if (!(post ? key.postFolder : key.updateFolder)) return;
        e.lines.push_back(formatText(tarvex::kLineFolderFound, folder.c_str()));
        ++expectedFoundSounds_;
        if (!(post ? key.postScript : key.updateScript)) {
            ++expectedErrorSounds_;
            return;
        }
        e.lines.push_back(formatText(tarvex::kScriptCommand, script.c_str()));
        if (post) {
            e.lines.push_back("soak-post-ran " + id);
            ++counters_.postRuns;
            return;
        }
        ++counters_.updateRuns;
        if (key.updateWritesLog) m.pendingLog = "update " + id + "\n";
        if (key.updateKillsApp) {
            e.appKilled = true;
            m.appAlive = false;
            ++counters_.scriptAppKills;
        }
        e.lines.push_back("soak-update-ran " + id);
    }

    // One pass, checked against the prediction.
    void pass(const char* kind) {
        const Expectation e = predict();
        std::vector<std::string> between;
        drain(&between);
        for (const std::string& line : between)
            if (isDaemonLine(line)) fail("printed between passes: " + line);

        const auto start = Clock::now();
        std::vector<std::string> lines;
        if (!runner_.passes.request(sandbox::Request::Passes, 1)) fail("runner gone");
        for (;;) {
            pollfd fds[2] = {{runner_.passes.replies(), POLLIN, 0}, {runner_.output, POLLIN, 0}};
            poll(fds, 2, 500);
            if ((fds[1].revents & POLLIN) != 0) drain(&lines);
            if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
                sandbox::PassCost cost;
                if (!runner_.passes.reply(&cost, sizeof cost)) runnerDied();
                break;
            }
            if (secondsSince(start) > kPassTimeoutSeconds) fail("pass hangs");
        }
        drain(&lines);  // all the pass wrote came before its reply
        const double seconds = secondsSince(start);
        ++model_.passes;
        ++counters_.passes;
        auto& times = counters_.passTimes[kind];
        ++times.first;
        times.second += seconds;

        std::vector<std::string> printed;
        for (const std::string& line : lines)
            if (isDaemonLine(line)) printed.push_back(line);
        if (printed != e.lines) {
            fail("pass printed\n" + joined(printed) + "expected\n" + joined(e.lines));
        }
        checkDevice(e);
    }

    void checkDevice(const Expectation& e) {
        Model& m = model_;
        // The mount point: exactly the key's largest partition, or nothing and
        // an empty directory.
        const auto sources = mountSources(kMountPoint);
        const std::vector<std::string> wanted =
            m.mount == MountState::Live ? std::vector<std::string>{keys_[m.mountedKey].source}
                                        : std::vector<std::string>{};
        if (sources != wanted)
            fail(std::string("mounted at ") + kMountPoint + ":\n" + joined(sources));
        if (m.mount == MountState::None && entriesIn(kMountPoint) != 0)
            fail("mount point is not an empty directory: " +
                 output(std::string("ls -la ") + kMountPoint));
        // The key's own files, and its log: handed over, never overwritten by a
        // refused hand-off, and still there after a crash of the FUSE driver
        // (the hand-off flushes it to the key).
        if (m.mount == MountState::Live) {
            const Key& key = keys_[m.mountedKey];
            const auto kept = readFile(std::string(kMountPoint) + "/keep/precious.txt");
            if (kept != precious(key)) fail("key file lost or changed: " + show(kept));
            const auto log = readFile(kKeyLog);
            if (log != key.log)
                fail("log on the key is " + show(log) + ", expected " + show(key.log));
        }
        // Exactly one FUSE driver per exFAT mount: an unmounted one must go.
        const size_t drivers =
            m.mount == MountState::Live && keys_[m.mountedKey].kind == Kind::Exfat ? 1 : 0;
        if (!waitUntil([&] { return fuseDriverPids().size() == drivers; }, 3))
            fail("FUSE drivers: " + count(fuseDriverPids()));

        const auto local = readFile(kLocalLogPath);
        if (local != m.pendingLog)
            fail(std::string(kLocalLogPath) + " is " + show(local) + ", expected " +
                 show(m.pendingLog));

        // The application: started once when it is gone (never during the grace
        // passes), never a second instance. The relaunch is in the background,
        // so give it a moment, as the 3 s between real passes do.
        if (e.relaunch) {
            if (!waitUntil([&] { return applicationStarts() == m.appStarts + 1; }, 5))
                fail("application not relaunched");
            ++m.appStarts;
            m.appAlive = true;
            ++counters_.relaunches;
            waitUntil([] { return !applicationPids().empty(); }, 5);
        }
        if (e.appKilled && !waitUntil([] { return applicationPids().empty(); }, 5))
            fail("the update script did not stop the application");
        const int starts = applicationStarts();
        const size_t alive = applicationPids().size();
        if (starts != m.appStarts || alive != (m.appAlive ? 1U : 0U))
            fail("application starts " + std::to_string(starts) + " (expected " +
                 std::to_string(m.appStarts) + "), running " + std::to_string(alive));
    }

    void drain(std::vector<std::string>* lines) {
        char buffer[8192];
        ssize_t got;
        while ((got = read(runner_.output, buffer, sizeof buffer)) > 0) {
            partial_.append(buffer, static_cast<size_t>(got));
            size_t newline;
            while ((newline = partial_.find('\n')) != std::string::npos) {
                std::string line = partial_.substr(0, newline);
                partial_.erase(0, newline + 1);
                recent_.push_back(std::to_string(model_.passes + 1) + ": " + line);
                if (recent_.size() > 80) recent_.pop_front();
                lines->push_back(std::move(line));
            }
        }
    }

    // ------------------------------------------------------ schedule ---

    void warmUp() {
        for (int i = 0; i <= tarvex::kWatchdogGracePasses + 1; ++i)
            pass("idle");  // grace, relaunch, steady
        const int upd = keyIndex("upd"), two = keyIndex("two"), bare = keyIndex("bare");
        insert(upd);  // the update runs, the beeper starts, the application is stopped
        pass("insertion");
        steadyPass();  // relaunch
        pull();
        pass("pull");
        insert(two);  // the log goes to the key, the post-update runs
        pass("insertion");
        clearKeyLog(keys_[two]);
        steadyPass();
        killFuse();
        steadyPass();
        unmountByHand();
        steadyPass();
        pull();
        pass("pull");
        for (const char* name : {"ext4", "locked", "bare", "dead"}) {
            insert(keyIndex(name));
            pass(std::strcmp(name, "dead") == 0 ? "dead key" : "insertion");
            if (std::strcmp(name, "dead") != 0) steadyPass();
            pull();
            pass("pull");
        }
        insert(bare);  // no log pending now: an update that leaves none
        pass("insertion");
        pull();
        pass("pull");
        killApp();
        pass("idle");
    }

    void steadyPass() {
        const Key& key = keys_[model_.inserted];
        if (key.kind == Kind::Locked) ++counters_.lockedRemounts;
        pass(key.steadyLabel.c_str());
    }

    UsageSpan settleAndSample() {
        if (model_.inserted >= 0) {
            pull();
            pass("pull");
        }
        for (int i = 0; i < 3 || !model_.appAlive; ++i) pass("idle");
        return sample(runner_);
    }

    int chooseKey() {
        int total = 0;
        for (const Key& key : keys_) total += usable(key) ? key.weight : 0;
        int pick = rng_.between(1, total);
        for (size_t i = 0; i < keys_.size(); ++i) {
            if (!usable(keys_[i])) continue;
            pick -= keys_[i].weight;
            if (pick <= 0) return static_cast<int>(i);
        }
        return 0;
    }

    bool usable(const Key& key) const {
        return key.kind != Kind::Dead || deadKeyEpisodes_ < kMaxDeadKeyEpisodes;
    }

    // Some passes without a key, then one key: in, a few passes, out.
    void episode(long endAt) {
        const int idle = rng_.between(0, 50);
        for (int i = 0; i < idle && model_.passes < endAt; ++i) {
            maybeKillApp();
            pass("idle");
        }
        if (model_.passes >= endAt) return;
        const int index = chooseKey();
        Key& key = keys_[index];
        insert(index);
        if (key.kind == Kind::Dead) {
            ++deadKeyEpisodes_;
            ++counters_.deadKeyPasses;
            pass("dead key");
        } else {
            const long looksBefore = counters_.looks, handOffsBefore = counters_.handOffs;
            pass("insertion");
            if (counters_.looks != looksBefore + 1) fail("insertion without exactly one look");
            const bool handedOver = counters_.handOffs != handOffsBefore;
            // Someone reads the log off the key, mostly: a key still holding one
            // refuses the next hand-off, and the device keeps its log.
            if (key.log && rng_.chance(0.6)) clearKeyLog(key);
            const int steady = rng_.between(key.minSteady, key.maxSteady);
            for (int i = 0; i < steady; ++i) {
                // Right after a hand-off a crash of the driver tests that the
                // log really was flushed to the key.
                const bool exfat = key.kind == Kind::Exfat;
                if (exfat && rng_.chance(i == 0 && handedOver ? 0.5 : 0.02)) {
                    killFuse();
                } else if (key.kind != Kind::Locked && rng_.chance(0.01)) {
                    unmountByHand();
                } else {
                    maybeKillApp();
                }
                steadyPass();
            }
        }
        pull();
        pass("pull");
    }

    void maybeKillApp() {
        if (model_.appAlive && rng_.chance(0.01)) killApp();
    }

    // ------------------------------------------------------ the end ---

    void checkKeysAtTheEnd() {
        for (const Key& key : keys_) {
            if (key.kind == Kind::Dead) continue;
            const std::string get = std::string("key get ") + key.name + " ";
            if (output(get + "keep/precious.txt") != precious(key))
                fail(std::string("key ") + key.name + " lost keep/precious.txt");
            if (key.updateScript && output(get + tarvex::kUpdateFolder + "/" +
                                           tarvex::kUpdateScriptName) != updateScript(key))
                fail(std::string("key ") + key.name + " lost its update script");
            if (key.postScript && output(get + tarvex::kPostUpdateFolder + "/" +
                                         tarvex::kUpdateScriptName) != kPostScript)
                fail(std::string("key ") + key.name + " lost its post-update script");
        }
        const std::string sounds = readFile("/tmp/aplay.log").value_or("");
        const long found = countLines(sounds, soundOf(tarvex::kFoundSoundCommand));
        const long errors = countLines(sounds, soundOf(tarvex::kErrorSoundCommand));
        const long beeps = countLines(sounds, soundOf(tarvex::kBeepCommand));
        std::printf("soak: sounds: %ld found (expected %ld), %ld error (expected %ld), %ld beeps\n",
                    found, expectedFoundSounds_, errors, expectedErrorSounds_, beeps);
        if (found != expectedFoundSounds_ || errors != expectedErrorSounds_)
            fail("sounds played do not match the looks");
    }

    static void printMappingChanges(const std::map<std::string, long>& before,
                                    const std::map<std::string, long>& after) {
        for (const auto& [mapping, kib] : after) {
            const auto was = before.find(mapping);
            const long old = was == before.end() ? 0 : was->second;
            if (kib != old)
                std::printf("soak: resident %+ld KiB (%ld -> %ld) in %s\n", kib - old, old, kib,
                            mapping.c_str());
        }
        for (const auto& [mapping, kib] : before)
            if (after.count(mapping) == 0 && kib != 0)
                std::printf("soak: resident %+ld KiB (mapping gone) in %s\n", -kib,
                            mapping.c_str());
    }

    static long countLines(const std::string& text, const std::string& line) {
        long n = 0;
        std::istringstream in(text);
        std::string l;
        while (std::getline(in, l)) n += l == line ? 1 : 0;
        return n;
    }

    static void printUsage(const char* when, const Usage& u) {
        std::printf(
            "soak: %-14s fds %ld, threads %ld, children %ld, VmRSS %ld KiB (VmHWM %ld KiB), "
            "heap in use %ld bytes, sandbox processes %ld, mounts %ld\n",
            when, u.fds, u.threads, u.children, u.rssKiB, u.hwmKiB, u.heapBytes, u.sandboxProcesses,
            u.mounts);
    }

    bool report(const UsageSpan& before, const UsageSpan& after, double mainSeconds,
                double totalSeconds) {
        const Counters& c = counters_;
        std::printf("\nsoak: %ld passes (%ld warm-up, %ld soak) in %.1f s (soak part %.1f s)\n",
                    c.passes, c.warmupPasses, c.passes - c.warmupPasses, totalSeconds, mainSeconds);
        std::printf(
            "soak: %ld insertions, %ld looks, %ld update runs, %ld post-update runs, %ld logs "
            "handed over, %ld hand-offs refused, %ld key logs cleared\n",
            c.insertions, c.looks, c.updateRuns, c.postRuns, c.handOffs, c.handOffsRefused,
            c.keyLogsCleared);
        std::printf(
            "soak: %ld application kills + %ld by update scripts, %ld relaunches, %ld FUSE driver "
            "kills, %ld unmounts by hand, %ld unlistable remounts, %ld dead-key passes\n",
            c.appKills, c.scriptAppKills, c.relaunches, c.fuseKills, c.handUnmounts,
            c.lockedRemounts, c.deadKeyPasses);
        std::printf("soak: insertions per key:");
        for (const Key& key : keys_) std::printf(" %s %d", key.name, key.insertions);
        std::printf("\nsoak: pass times:");
        for (const auto& [kind, times] : c.passTimes)
            std::printf(" %s %ld x %.1f ms,", kind.c_str(), times.first,
                        1000 * times.second / static_cast<double>(times.first));
        std::printf("\n\n%-22s %10s %10s %10s  %s\n", "daemon process", "warm-up", "end", "growth",
                    "verdict");
        bool grew = false;
        auto row = [&](const char* name, long start, long end, long allowed, const char* note) {
            const bool bad = end - start > allowed;
            grew = grew || bad;
            std::printf("%-22s %10ld %10ld %+10ld  %s%s\n", name, start, end, end - start,
                        bad ? "FAIL" : "ok", note);
        };
        const Usage &b = before.least, &a = after.least;
        row("open fds", b.fds, a.fds, 0, "");
        row("threads", b.threads, a.threads, 0, "");
        row("child processes", b.children, a.children, 0, "");
        const long fileGrowth = std::max(0L, a.fileKiB - b.fileKiB);
        const std::string rssNote =
            " (allowed +" + std::to_string(kRssToleranceKiB) + " KiB beyond RssFile growth)";
        row("VmRSS KiB", b.rssKiB, a.rssKiB, kRssToleranceKiB + fileGrowth, rssNote.c_str());
        row("memory mappings", b.mappings, a.mappings, 0, "");
        row("heap in use, bytes", b.heapBytes, a.heapBytes, 0, " (mallinfo2, all arenas)");
        row("sandbox processes", b.sandboxProcesses, a.sandboxProcesses, 0, "");
        row("mounts", b.mounts, a.mounts, 0, "");
        std::printf("%-22s %10ld %10ld\n", "  RssAnon KiB", b.anonKiB, a.anonKiB);
        std::printf("%-22s %10ld %10ld\n", "  RssFile KiB", b.fileKiB, a.fileKiB);
        std::printf("%-22s %10ld %10ld\n", "VmHWM KiB", before.most.hwmKiB, after.most.hwmKiB);
        std::printf(
            "(least of 8 samples over 1.2 s; most seen: fds %ld/%ld, children %ld/%ld, "
            "VmRSS %ld/%ld KiB)\n",
            before.most.fds, after.most.fds, before.most.children, after.most.children,
            before.most.rssKiB, after.most.rssKiB);
        std::printf("\nsoak: %s\n", grew ? "FAIL: the daemon's process grew" : "PASS");
        return grew;
    }

    void sendQuit() { runner_.passes.stop(); }

    // ------------------------------------------------------ failure ---

    static std::string joined(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) text += "    " + line + "\n";
        return text.empty() ? "    (nothing)\n" : text;
    }

    static std::string count(const std::vector<int>& pids) {
        std::string text = std::to_string(pids.size());
        for (const int pid : pids) text += " " + std::to_string(pid);
        return text;
    }

    [[noreturn]] void runnerDied() {
        int status = 0;
        waitpid(runner_.passes.pid(), &status, 0);
        fail(WIFSIGNALED(status)
                 ? std::string("daemon process killed by signal ") + strsignal(WTERMSIG(status))
                 : "daemon process exited " + std::to_string(WEXITSTATUS(status)));
    }

    [[noreturn]] void fail(const std::string& what) {
        std::printf("\nsoak: FAIL at pass %ld (insertion %d, key %s): %s\n", model_.passes,
                    insertionId_, model_.inserted >= 0 ? keys_[model_.inserted].name : "none",
                    what.c_str());
        std::printf("soak: last lines of the daemon's output (pass: line):\n");
        for (const std::string& line : recent_) std::printf("  %s\n", line.c_str());
        std::printf("soak: last lines of its stderr:\n");
        std::fflush(stdout);
        sh(std::string("tail -n 25 ") + kDaemonStderr + " | sed 's/^/  /'");
        std::fflush(stdout);
        kill(runner_.passes.pid(), SIGKILL);
        waitpid(runner_.passes.pid(), nullptr, 0);
        std::exit(1);
    }

    Runner runner_;
    Rng rng_;
    long target_;
    std::vector<Key> keys_;
    Model model_;
    Counters counters_;
    int insertionId_ = 0;
    int deadKeyEpisodes_ = 0;
    long expectedFoundSounds_ = 0, expectedErrorSounds_ = 0;
    std::string partial_;
    std::deque<std::string> recent_;
};

}  // namespace

int main(int argc, char** argv) {
    long passes = 10000;
    uint64_t seed = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--passes") == 0) {
            passes = std::atol(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: tarvex_soak [--passes N] [--seed S]\n");
            return 2;
        }
    }
    if (geteuid() != 0 || access("/run/tarvex/bin/key", X_OK) != 0) {
        std::fprintf(stderr, "tarvex_soak: run as root inside the device sandbox\n");
        return 2;
    }
    const Runner runner = startRunner();
    std::printf("soak: seed %llu, %ld passes, daemon process %d (user pi)\n",
                static_cast<unsigned long long>(seed), passes, runner.passes.pid());
    Soak soak(runner, seed, passes);
    return soak.run();
}
