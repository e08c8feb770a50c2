// Every path, command line, name and delay the daemon uses. They are fixed
// in the build on purpose: the daemon reads no arguments, environment or
// configuration, so what a device does can be read off this one file.
#pragma once

#include <cstddef>

namespace tarvex {

// Start-up and supervision timing (seconds).
constexpr unsigned kStartupDelaySeconds = 5;
constexpr unsigned kSettleDelaySeconds = 3;
constexpr unsigned kPassDelaySeconds = 3;

// Version stamp appended at every start.
constexpr const char* kVersion = "6";
constexpr const char* kVersionStampPath = "/tmp/quorl_version.txt";
constexpr const char* kVersionStampFormat = "Tarvex Version: %s\nBuild: %s - %s\n";

// USB key probe.
constexpr const char* kDevDir = "/dev";
constexpr const char* kPartitionSizeCommand = "sudo fdisk -l /dev/";
// A node whose size could not be read is read again by the next probe for its
// first 3 failed reads in a row: a key still coming up answers within a pass
// or two, and its largest partition must not wait behind a back-off. After
// that it is skipped by the next 3 probes, then 6, then 9 after every later
// failure: a node that never answers costs a privileged fdisk every 10th
// pass, not every pass.
constexpr size_t kFailedSizeRereads = 3;
constexpr int kFailedSizeSkips[] = {3, 6, 9};

// Mount point control.
constexpr const char* kMountPoint = "/home/pi/media";
constexpr const char* kIsMountedCommand =
    "if mountpoint -q /home/pi/media ; then echo Yes; else echo No; fi";
// The two mount lines, the type and options first and the mount point last:
//   sudo mount -t TYPE -o rw -o uid=pi -o gid=pi -o nosuid,nodev /dev/sdXN /home/pi/media
//   sudo mount -t TYPE -o nosuid,nodev /dev/sdXN /home/pi/media
// sudo matches the arguments joined by blanks, so pi could pass a path that
// holds blanks as one argument. With the mount point last, no such path can
// swallow the options after it; the sudoers rules allow exactly these lines.
// The type is always named: without -t the key's own bytes would pick which
// of the kernel's many file system drivers parses them, as root.
constexpr const char* kMountCommandPrefix = "sudo mount -t ";
// What keys are formatted with. Each refuses an option it does not know (or,
// FUSE exFAT, is always nosuid,nodev), so an option that swallows
// "-o nosuid" (one argument with blanks, which the joined match lets
// through) fails the mount instead of dropping nosuid. Not NTFS: ntfs-3g,
// which "-t ntfs" reaches, ignores such an option and mounts without nosuid.
constexpr const char* kKeyFileSystems[] = {"vfat", "exfat", "ext4", "ext3", "ext2"};
// TYPE when udev named none of the above: each tried in turn, a FUSE helper
// (/sbin/mount.exfat) included. exFAT last: when its helper fails and a later
// type then mounts, mount still exits with the helper's failure.
constexpr const char* kKeyFileSystemList = "vfat,ext4,ext3,ext2,exfat";
// What udev recorded for a block device (its major and minor number), and
// the line that names the file system it found there when it probed the
// node as root. Written by udev, but the type is read off the key's bytes:
// only a name above, matched whole, is used.
constexpr const char* kUdevDataFormat = "/run/udev/data/b%s:%s";
constexpr const char* kUdevFileSystemLine = "E:ID_FS_TYPE=";
// udev's records of a disk run to a few KiB.
constexpr size_t kMaxUdevDataBytes = 65536;
// First try: the key's files handed to pi (FAT, exFAT). The fallback,
// for file systems that refuse uid/gid (ext4), drops these.
constexpr const char* kMountOwnerOptions = " -o rw -o uid=pi -o gid=pi";
// On both lines: a key is untrusted, so no setuid programs or device nodes
// from it take effect.
constexpr const char* kMountSafetyOptions = " -o nosuid,nodev";
// After the options: this, the disk's letter and the partition's number, a
// blank and kMountPoint.
constexpr const char* kMountDevicePrefix = " /dev/sd";
constexpr const char* kUnmountCommand = "sudo umount /home/pi/media";
// As pi, and only on a mount point that is not the package's locked one:
// pi's rules do not allow a recursive removal as root, which would delete
// whatever pi had mounted there.
constexpr const char* kRemoveMountPointCommand = "rm -r /home/pi/media";
constexpr const char* kMakeMountPointCommand = "mkdir /home/pi/media";
constexpr const char* kMountInfoPath = "/proc/self/mountinfo";
constexpr int kMountAttempts = 3;
constexpr int kMountWaitPolls = 10;
constexpr unsigned kMountPollMicroseconds = 100000;
constexpr unsigned kCleanupPauseMicroseconds = 100000;

// Update look.
constexpr const char* kLocalLogPath = "/home/pi/log.txt";
// The log is renamed to this first and copied from here: what background
// jobs append later goes to a fresh log.txt, not into a file about to be
// removed. One left by a hand-off cut short is handed over by the next.
constexpr const char* kLocalLogAsidePath = "/home/pi/log.txt.handing-over";
// A job still holding the log open (exec >> /home/pi/log.txt) may write into
// it after it was removed: it is read again, each new piece kept, until a read
// finds nothing new, but at most this many times, so a job that never stops
// writing cannot hold the look. What it writes later is lost.
constexpr int kLogRereadsAfterRemoval = 5;
constexpr const char* kKeyLogFileName = "log.txt";
// The log is written under this name and renamed to log.txt only once it is
// whole on the key: a power cut mid-copy leaves at most this, which the next
// hand-off replaces, never a torn log.txt.
constexpr const char* kKeyLogPartialName = "log.txt.partial";
constexpr const char* kUpdateFolder = "_QuorlUpdate";
constexpr const char* kPostUpdateFolder = "_QuorlPostUpdate";
constexpr const char* kUpdateScriptName = "quorlupdate.sh";
constexpr const char* kFoundSoundCommand = "aplay /home/pi/disk_found.wav";
// Relative on purpose: looked up in the daemon's working directory.
constexpr const char* kErrorSoundCommand = "aplay error1.wav";
constexpr const char* kSyncCommand = "sync";

// Trusted keys. While this directory exists, only scripts signed with one of
// the minisign public keys (*.pub) in it run, and the pending log goes only to
// a key whose post-update script is signed so.
constexpr const char* kTrustedKeysDir = "/etc/tarvexd/trusted-keys";
constexpr const char* kTrustedKeySuffix = ".pub";
// A key file is two short lines; a larger one is not a key.
constexpr size_t kMaxTrustedKeyBytes = 4096;
// Beside the script: quorlupdate.sh.minisig.
constexpr const char* kSignatureSuffix = ".minisig";
// Read whole into memory before it is checked and run; generous for a script
// (payload files sit beside it, listed by their hashes), small for a Pi Zero.
constexpr size_t kMaxSignedScriptBytes = 1048576;
// minisign's own limits on its comments keep real signature files far below.
constexpr size_t kMaxSignatureBytes = 16384;
// What a script is for, in its signature's trusted comment, among tokens
// separated by blanks or tabs: "folder:_QuorlUpdate release:42". The release
// is a decimal number up to kMaxRelease.
constexpr const char* kFolderToken = "folder:";
constexpr const char* kReleaseToken = "release:";
constexpr unsigned long long kMaxRelease = 9223372036854775807ULL;  // 2^63-1

// Release state: the newest release run from each folder, so a signed script
// of an older release (last year's update) cannot roll a device back. One
// line per folder, "FOLDER RELEASE". The directory is the unit's
// StateDirectory=, owned by pi, inside the package's root-owned
// /var/lib/tarvexd; the file is replaced whole, by renaming the temporary
// file over it.
constexpr const char* kStateDir = "/var/lib/tarvexd/state";
constexpr const char* kReleaseStatePath = "/var/lib/tarvexd/state/releases";
constexpr const char* kReleaseStateName = "releases";
constexpr const char* kReleaseStateTempName = "releases.new";
// Two folders take two short lines.
constexpr size_t kMaxReleaseStateBytes = 4096;

// Progress beeper.
constexpr const char* kBeepCommand = "aplay /opt/quorl/Distrib/Data/beep-08b.wav";
constexpr unsigned kBeepPauseSeconds = 1;

// Application watchdog.
constexpr const char* kProcDir = "/proc";
constexpr const char* kApplicationName = "Quorl";
constexpr const char* kRelaunchCommand = "/home/pi/Quorl silent &";
constexpr int kWatchdogGracePasses = 10;

// Status lines on standard output, and the reasons they give. Every text is
// whole here: a line or reason with something in it is a printf format, with
// %s for each thing (numbers too, as their decimal text) and %d for nothing
// but a descriptor, filled in by formatText.
constexpr const char* kLineMounted = "Mounted";
constexpr const char* kLineMountFallback = "Trying to mount without arguments";
constexpr const char* kLineUnmounting = "Unmounting";
constexpr const char* kLineMountCheckError = "Check for mount error";
constexpr const char* kLinePartitionSizeFailed = "ReadPartitionSize failed";
constexpr const char* kLineNotRemovingMountPoint =
    "Not removing /home/pi/media: something is mounted there";
constexpr const char* kLineProcessTableUnreadable =
    "Cannot read the process table in /proc; not starting Quorl";
// The folder's path.
constexpr const char* kLineFolderFound = "%s exist";
// The script's path: the line printed before a script runs, and the command
// that runs it.
constexpr const char* kScriptCommand = "bash %s";
// The descriptor holding the checked bytes, then the script's path on the
// key, which becomes the script's $0.
constexpr const char* kCheckedScriptCommand = "bash -c '. /proc/self/fd/%d' %s";
// The path, then why.
constexpr const char* kLineCannotCheck = "Cannot check %s: %s";
// Why not.
constexpr const char* kLineCannotCopyLog =
    "Cannot copy /home/pi/log.txt to /home/pi/media/log.txt: %s; keeping it";
constexpr const char* kLineCannotRemoveLog = "Cannot remove /home/pi/log.txt: %s";
// kMountPointIsLink or kMountPointIsNotDirectory.
constexpr const char* kLineMountPointRefused = "Not mounting or unmounting at /home/pi/media: %s";
constexpr const char* kMountPointIsLink = "it is a symbolic link";
constexpr const char* kMountPointIsNotDirectory = "it is not a directory";
// The disk's path, a node's path (the disk's or a partition's), and where
// that node is mounted.
constexpr const char* kLineDiskInUse = "Not taking %s for a key: %s is mounted at %s";
// The script's path, then why.
constexpr const char* kLineScriptRefused = "Not running %s: %s";
// The post-update script's path, then why.
constexpr const char* kLineLogNotHandedOver =
    "Not handing /home/pi/log.txt to this key: %s: %s; keeping it";

// Why a script is not run or a log not handed over: the "why" of the lines
// above.
// What is wrong with the trusted keys.
constexpr const char* kReasonNoUsableKey = "no usable trusted key: %s";
// A path, then errno's text.
constexpr const char* kReasonCannotCheckPath = "cannot check %s: %s";
constexpr const char* kReasonCannotReadPath = "cannot read %s: %s";
// A path or a file's name.
constexpr const char* kReasonOthersCanWrite = "%s can be changed by someone other than root";
constexpr const char* kReasonNotADirectory = "%s is not a directory";
constexpr const char* kReasonIsALink = "%s is a link";
constexpr const char* kReasonNotARegularFile = "%s is not a regular file";
constexpr const char* kReasonNotAPublicKey = "%s is not a minisign public key";
constexpr const char* kReasonUnknownKeyAlgorithm = "%s is a public key of an unknown algorithm";
constexpr const char* kReasonMissing = "no %s";
// A file's name on the key, then errno's text.
constexpr const char* kReasonFileFailed = "%s: %s";
// A file's name on the key, then the limit.
constexpr const char* kReasonTooLarge = "%s is larger than %s bytes";
constexpr const char* kReasonNoKey = "no key in /etc/tarvexd/trusted-keys";
constexpr const char* kReasonBadSignatureFile = "the signature file is not one minisign makes";
constexpr const char* kReasonUnknownSignatureAlgorithm = "a signature of an unknown algorithm";
// The key id as minisign names it.
constexpr const char* kReasonUntrustedKey = "signed with key %s, which is not trusted";
constexpr const char* kReasonScriptChanged = "the signature does not match the script";
constexpr const char* kReasonCommentChanged = "the signature of the trusted comment does not match";
constexpr const char* kReasonNoCryptography = "the signature library cannot start";
// errno's text.
constexpr const char* kReasonCannotHoldBytes = "cannot hold its checked bytes: %s";
// Only prehashed signatures: a legacy one signs the bytes themselves, so a
// prehashed signature relabelled as legacy verifies for a file that holds the
// script's digest.
constexpr const char* kReasonLegacySignature =
    "a legacy signature, which is refused: sign with minisign -S without -l";
// What the trusted comment says the script is for, and whether that fits.
constexpr const char* kReasonNoFolder = "the trusted comment names no folder (folder:NAME)";
constexpr const char* kReasonTwoFolders = "the trusted comment names more than one folder";
constexpr const char* kReasonNoRelease = "the trusted comment names no release (release:N)";
constexpr const char* kReasonTwoReleases = "the trusted comment names more than one release";
// What follows kReleaseToken, as it stands.
constexpr const char* kReasonBadRelease =
    "release:%s is not a release from 0 to 9223372036854775807";
// The folder signed for, then the folder found in.
constexpr const char* kReasonOtherFolder = "signed for %s, not for %s";
// The script's release, then the newest run from that folder.
constexpr const char* kReasonOlderRelease =
    "release %s is older than release %s, which this device has run";
// What is wrong with the release state: one of the kReasonState* texts.
constexpr const char* kReasonReleaseStateUnreadable =
    "cannot read /var/lib/tarvexd/state/releases: %s; to reset, remove that file (any release "
    "then runs)";
constexpr const char* kReasonStateEmpty = "it is empty";
constexpr const char* kReasonStateIsALink = "it is a link";
constexpr const char* kReasonStateNotARegularFile = "it is not a regular file";
// The limit.
constexpr const char* kReasonStateTooLarge = "it is larger than %s bytes";
// The line's number.
constexpr const char* kReasonStateBadLine = "line %s is not a folder and a release";
constexpr const char* kReasonStateRepeat = "line %s names a folder an earlier line names";
// The release, then errno's text.
constexpr const char* kReasonCannotRecordRelease =
    "cannot record release %s in /var/lib/tarvexd/state/releases: %s";
// Why the local log was not copied, when it is not a file (reading a FIFO
// would hang the daemon).
constexpr const char* kReasonLogNotARegularFile = "not a regular file";

}  // namespace tarvex
