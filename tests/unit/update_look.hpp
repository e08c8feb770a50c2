// The update look as the programs of its modules try it: a key's files written
// straight into the mount point, the sounds and flushes recorded, and a
// device told to trust a maker's key. Each program includes it once.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <string>

#include "base/format_text.hpp"
#include "sandbox_device.hpp"
#include "tarvex_constants.hpp"
#include "update/update_check.hpp"

using sandbox::fileText;
using sandbox::line;
using sandbox::output;
using sandbox::sh;

// Sounds and flushes are recorded in /tmp/calls.log, in order, next to what
// the update scripts themselves write there. Beeps come from the beeper thread
// at their own pace, so they go to a log of their own.
class UpdateLook : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        sandbox::resetDevice();
        // The look reads whatever is at the mount point: a key's files are
        // written straight into it.
        ASSERT_TRUE(sandbox::unlockMountPoint());
        sh("rm -f /tmp/calls.log /tmp/beeps.log");
        ASSERT_TRUE(sandbox::fakeTool("aplay",
                                      "case \"$1\" in *beep*) echo beep >> /tmp/beeps.log ;;"
                                      " *) echo \"aplay $*\" >> /tmp/calls.log ;; esac"));
        ASSERT_TRUE(sandbox::fakeTool("sync", "echo sync >> /tmp/calls.log"));
    }
    void TearDown() override {
        sandbox::removeFakeTools();
        sh("umount /home/pi/media 2>/dev/null; true");
        sandbox::resetDevice();
    }
};

inline const std::string kFound = line(tarvex::kFoundSoundCommand);
inline const std::string kError = line(tarvex::kErrorSoundCommand);

inline std::string folderOf(const char* folder) {
    return std::string(tarvex::kMountPoint) + "/" + folder;
}
inline std::string scriptOf(const char* folder) {
    return folderOf(folder) + "/" + tarvex::kUpdateScriptName;
}
inline std::string foundLine(const char* folder) {
    return line(formatText(tarvex::kLineFolderFound, folderOf(folder).c_str()));
}
inline std::string runsLine(const char* folder) {
    return line(formatText(tarvex::kScriptCommand, scriptOf(folder).c_str()));
}

inline std::string script(const char* folder, const char* marker) {
    return std::string("mkdir -p /home/pi/media/") + folder + " && echo 'echo " + marker +
           " >> /tmp/calls.log' > /home/pi/media/" + folder + "/quorlupdate.sh";
}

inline const std::string kUpdateLines =
    foundLine(tarvex::kUpdateFolder) + runsLine(tarvex::kUpdateFolder);

inline int threadCount() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

// ---------------------------------------------------------------------------
// A device told to trust a maker's key: /etc/tarvexd/trusted-keys holds the
// public key "a", made by the real minisign tool; "b" is a stranger's. Scripts
// are signed for their folder and release 42 unless a row says otherwise, and
// the device starts with no release state.

inline const std::string kScript = scriptOf(tarvex::kUpdateFolder);
inline const std::string kSigned = kScript + tarvex::kSignatureSuffix;
inline const std::string kScriptName = tarvex::kUpdateScriptName;
inline const std::string kSignatureName = kScriptName + tarvex::kSignatureSuffix;

inline const std::string kState = tarvex::kReleaseStatePath;

// The command that signs the folder's script with key "a", for the folder and
// release 42 unless comment says otherwise; options such as -l go first.
inline std::string signing(const char* folder, const std::string& comment = "",
                           const std::string& options = "") {
    const std::string text =
        comment.empty() ? tarvex::kFolderToken + std::string(folder) + " release:42" : comment;
    return "minisign -S " + options + " -s /tmp/tk/a.key -t '" + text + "' -m " + scriptOf(folder) +
           " >/dev/null";
}

class TrustedLook : public UpdateLook {
protected:
    void SetUp() override {
        UpdateLook::SetUp();
        ASSERT_TRUE(
            sh("test -e /tmp/tk/b.key || (mkdir -p /tmp/tk && cd /tmp/tk && "
               "minisign -G -W -p a.pub -s a.key >/dev/null && "
               "minisign -G -W -p b.pub -s b.key >/dev/null)"));
        ASSERT_TRUE(
            sh("install -d -m 755 -o root -g root /etc/tarvexd /etc/tarvexd/trusted-keys && "
               "install -m 644 -o root -g root /tmp/tk/a.pub /etc/tarvexd/trusted-keys/"));
    }
    void TearDown() override {
        sh("rm -rf /etc/tarvexd /tmp/upd /tmp/real.sh /var/lib/tarvexd/state/*");
        UpdateLook::TearDown();
    }

    // The folder's script, with body, signed by key "a" with the comment.
    static void signedScript(const char* folder, const std::string& body,
                             const std::string& comment = "") {
        const std::string script = scriptOf(folder);
        ASSERT_TRUE(sh(std::string("mkdir -p /home/pi/media/") + folder + " && printf '%s\\n' '" +
                       body + "' > " + script + " && " + signing(folder, comment)));
    }
};

inline const std::string kRunsBody =
    "echo update-ran >> /tmp/calls.log; echo \"dollar0=$0\" >> /tmp/calls.log";
inline const std::string kRanCalls = kFound + "update-ran\ndollar0=" + kScript + "\nsync\n";

#ifdef TARVEX_KEY_CHECK  // in the programs that compare the look with it
// What the maker's check says of the key as it is now, trusting key "a" and
// knowing the releases this device has run: it decides with the look's code.
inline std::string makersCheck(const std::string& options = "") {
    return output(std::string(TARVEX_KEY_CHECK) + " /home/pi/media " + options +
                  " --trust /tmp/tk/a.pub $(test -e " + kState + " && echo --state " + kState +
                  ")");
}
#endif
