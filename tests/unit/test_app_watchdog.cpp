#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "sandbox_device.hpp"
#include "tarvex_constants.hpp"
#include "watchdog/app_watchdog.hpp"

namespace {

using sandbox::output;
using sandbox::sh;

// Starts a process in the background and returns its pid (as the shell saw it).
int startProcess(const std::string& shellCommand) {
    const std::string pid = output("(" + shellCommand + ") >/dev/null 2>&1 & echo $!");
    return std::stoi(pid);
}

void stopAll() {
    // By program name, and the scripts' sleep by an anchored pattern: a plain
    // -f pattern would also match (and kill) the shell running pkill.
    sh("pkill -KILL -x 'Quorl|Quorl-old|quorl'; pkill -KILL -f '^sleep 31$'; sleep 0.1; true");
}

struct NameCase {
    const char* name;
    std::string start;
    bool recognised;
};

class ProcessName : public testing::TestWithParam<NameCase> {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        ASSERT_TRUE(
            sh("mkdir -p /tmp/bin /tmp/other && cp /run/tarvex/Quorl.app /home/pi/Quorl"
               " && cp /run/tarvex/Quorl.app /tmp/bin/Quorl"
               " && cp /run/tarvex/Quorl.app /tmp/bin/Quorl-old"
               " && cp /run/tarvex/Quorl.app /tmp/bin/quorl"
               " && printf '#!/bin/sh\\nexec sleep 31\\n' > /tmp/other/Quorl"
               " && chmod +x /tmp/other/Quorl"));
    }
    void TearDown() override { stopAll(); }
};

TEST_P(ProcessName, RecognisedByFirstArgument) {
    const int pid = startProcess(GetParam().start);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto ids = getProcIdByName("Quorl");
    const bool found = std::find(ids.begin(), ids.end(), pid) != ids.end();
    EXPECT_EQ(found, GetParam().recognised)
        << "pid " << pid
        << ", cmdline: " << output("tr '\\0' ' ' < /proc/" + std::to_string(pid) + "/cmdline");
    EXPECT_EQ(QuorlIsNotRunning(), !GetParam().recognised);
}

INSTANTIATE_TEST_SUITE_P(
    Starts, ProcessName,
    testing::Values(NameCase{"FullPathWithArgument", "exec /home/pi/Quorl silent", true},
                    NameCase{"RelativePath", "cd /home/pi && exec ./Quorl", true},
                    NameCase{"FoundOnPathFromAnotherDirectory",
                             "cd /tmp && PATH=/tmp/bin exec Quorl", true},
                    NameCase{"LongerName", "exec /tmp/bin/Quorl-old", false},
                    NameCase{"OtherCase", "exec /tmp/bin/quorl", false},
                    NameCase{"ScriptRunByInterpreter", "exec sh /tmp/other/Quorl", false},
                    NameCase{"ScriptStartedByItsShebang", "exec /tmp/other/Quorl", false},
                    NameCase{"RenamedFirstArgument", "exec -a myapp /home/pi/Quorl", false}),
    [](const testing::TestParamInfo<NameCase>& info) { return info.param.name; });

// The match itself, on command lines as /proc hands them over (NUL after each
// argument), including ones a process rewrote for itself.
TEST(CommandLine, NamesTheProcessByItsFirstArgumentOnly) {
    using namespace std::string_literals;
    const struct {
        std::string commandLine;
        bool names;
    } cases[] = {
        {"/home/pi/Quorl\0silent\0"s, true},
        {"Quorl"s, true},  // a start without its NUL yet
        {"Quorl\nsecond line\0"s, true},
        {"sh\0/home/pi/Quorl\0"s, false},
        {"\0Quorl\0"s, false},
        {"/home/pi/Quorl/\0"s, false},
        {"Quorl: worker\0"s, false},
        {"/home/pi/quorl\0"s, false},
        {""s, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(commandLineNames(c.commandLine, "Quorl"), c.names) << c.commandLine;
    }
}

// A zombie has an empty command line, like a kernel thread: it never matches,
// not even an empty name.
TEST(ProcessTable, EmptyCommandLinesNeverMatch) {
    REQUIRE_SANDBOX();
    startProcess("sleep 0 & exec sleep 3");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_NE(output("grep -l Z /proc/[0-9]*/stat 2>/dev/null | head -n1"), "") << "no zombie made";
    EXPECT_TRUE(getProcIdByName("").empty());
}

int starts() {
    const std::string log = sandbox::fileText("/tmp/quorl-starts.log");
    return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
}

void waitForStarts(int expected) {
    for (int i = 0; i < 50 && starts() < expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TEST(Watchdog, GracePassesThenRelaunchOnlyWhenGone) {
    REQUIRE_SANDBOX();
    stopAll();
    ASSERT_TRUE(sh("cp /run/tarvex/Quorl.app /home/pi/Quorl && rm -f /tmp/quorl-starts.log"));
    for (int pass = 1; pass <= tarvex::kWatchdogGracePasses; ++pass) {
        WatchApplication();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(starts(), 0) << "started during the grace passes";

    const auto before = std::chrono::steady_clock::now();
    WatchApplication();  // the eleventh pass
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500))
        << "the relaunch must not wait for the application";
    waitForStarts(1);
    ASSERT_EQ(starts(), 1);
    EXPECT_EQ(output("cut -d' ' -f2- /tmp/quorl-starts.log"), "/home/pi/Quorl silent\n");

    for (int pass = 0; pass < 3; ++pass) {
        WatchApplication();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(starts(), 1) << "a second instance was started while one runs";

    stopAll();
    WatchApplication();
    waitForStarts(2);
    EXPECT_EQ(starts(), 2) << "not relaunched after it died";
    stopAll();
}

// The watchdog past its grace passes, however many an earlier test used.
void passTheGrace() {
    static bool done = false;
    for (int i = 0; !done && i < tarvex::kWatchdogGracePasses; ++i) WatchApplication();
    done = true;
}

TEST(WatchdogFault, EmptyProcStartsNoInstances) {
    REQUIRE_SANDBOX();
    passTheGrace();
    stopAll();
    ASSERT_TRUE(sh("cp /run/tarvex/Quorl.app /home/pi/Quorl && rm -f /tmp/quorl-starts.log"));
    ASSERT_TRUE(sh("mount -t tmpfs empty /proc"));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) WatchApplication();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(sh("umount /proc"));
    EXPECT_EQ(out, sandbox::line(tarvex::kLineProcessTableUnreadable));
    sh("sleep 0.3");
    EXPECT_FALSE(sh("test -e /tmp/quorl-starts.log")) << "started blind";
    // Once /proc is back, the application is started again.
    WatchApplication();
    sh("sleep 0.3");
    EXPECT_EQ(output("wc -l < /tmp/quorl-starts.log"), "1\n");
    stopAll();
}

TEST(WatchdogFault, MissingApplicationIsRetriedWithoutHarm) {
    REQUIRE_SANDBOX();
    passTheGrace();
    stopAll();
    ASSERT_TRUE(sh("rm -f /home/pi/Quorl"));
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) WatchApplication();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_TRUE(sh("cp /run/tarvex/Quorl.app /home/pi/Quorl && rm -f /tmp/quorl-starts.log"));
    WatchApplication();
    sh("sleep 0.3");
    EXPECT_EQ(output("wc -l < /tmp/quorl-starts.log"), "1\n");
    stopAll();
}

}  // namespace
