// Every path, command line, name and delay the daemon uses. They are fixed
// in the build on purpose: the daemon reads no arguments, environment or
// configuration, so what a device does can be read off this one file.
#pragma once

#include <cstddef>

#include "base/constant_text.hpp"

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
// Mounting and unmounting are the one root program's: pi's sudo rules allow
// it (and fdisk) and nothing else. It decides at every call, on directories
// and devices it has opened itself, whether the mount point is still the
// locked one and the node a USB key's, so no rule over the command's text
// has to. Its whole command line is a verb, the node, the type and which of
// the two option sets:
//   sudo /usr/libexec/tarvexd/tarvex-mount mount sdXN TYPE owner
//   sudo /usr/libexec/tarvexd/tarvex-mount mount sdXN TYPE plain
//   sudo /usr/libexec/tarvexd/tarvex-mount unmount
constexpr const char* kMountHelperPath = "/usr/libexec/tarvexd/tarvex-mount";
// The node, the type, then kMountOwnerOptions or kMountPlainOptions.
constexpr const char* kMountCommand = "sudo /usr/libexec/tarvexd/tarvex-mount mount %s %s %s";
constexpr const char* kUnmountCommand = "sudo /usr/libexec/tarvexd/tarvex-mount unmount";
constexpr const char* kMountVerb = "mount";
constexpr const char* kUnmountVerb = "unmount";
// First try: the key's files handed to pi (FAT, exFAT). The fallback, for
// file systems that refuse uid/gid (ext4), leaves them out.
constexpr const char* kMountOwnerOptions = "owner";
constexpr const char* kMountPlainOptions = "plain";
// What keys are formatted with, each by the kernel's own driver. Not NTFS:
// a key's type that is not here is not mounted at all.
constexpr const char* kKeyFileSystems[] = {"vfat", "exfat", "ext4", "ext3", "ext2"};
// TYPE when udev named no type: each of the above tried in turn, exFAT last.
constexpr const char* kKeyFileSystemList = "vfat,ext4,ext3,ext2,exfat";
// Every kernel mount of a key is nosuid,nodev (a setuid program or a device
// node on a key must not give whoever wrote it root) and carries this data:
// a damaged key makes its file system read-only, whatever its superblock asks
// for (ext2/3/4 may ask for a kernel panic). vfat and the kernel's exFAT
// know the same option.
constexpr const char* kMountErrorsOption = "errors=remount-ro";
// Then, with kMountOwnerOptions: pi's uid and gid.
constexpr const char* kMountOwnerData = ",uid=%u,gid=%u";
// Where the kernel has no exFAT (some build machines; never a supported
// device, whose kernels have it), this FUSE driver mounts exFAT keys. It is
// run on the locked directory the program opened, and only after the kernel
// said it has no such file system. FUSE is always nosuid,nodev, and a driver
// in user space cannot bring the kernel down, so it gets no errors= option.
constexpr const char* kExfatFuseDrivers[] = {"/usr/sbin/mount.exfat-fuse",
                                             "/sbin/mount.exfat-fuse"};
constexpr const char* kExfatFuseOptions = "nosuid,nodev";
constexpr const char* kExfatFuseOwnerOptions = ",uid=%u,gid=%u";
// The user the keys' files are handed to.
constexpr const char* kKeyOwner = "pi";
// The mount point, opened one component at a time from the root, links
// never followed.
constexpr const char* kMountPointComponents[] = {"home", "pi", "media"};
// The kernel's own record of a block device, by its major and minor number;
// a disk is a USB key's when one of the directories above its record is a
// device of this subsystem.
constexpr const char* kSysBlockFormat = "/sys/dev/block/%u:%u";
constexpr const char* kUsbSubsystem = "usb";
// A disk the system mounts by itself is not a key.
constexpr const char* kFstabPath = "/etc/fstab";
// fstab names a device by these too, each a tag and the directory of links
// udev keeps for it.
constexpr const char* kFstabTagLinks[] = {
    "UUID=",     "/dev/disk/by-uuid/",     "LABEL=",     "/dev/disk/by-label/",
    "PARTUUID=", "/dev/disk/by-partuuid/", "PARTLABEL=", "/dev/disk/by-partlabel/"};
// /etc/fstab and sysfs records are short.
constexpr size_t kMaxFstabBytes = 1048576;
constexpr size_t kMaxSysfsRecordBytes = 4096;
// What the file system udev found on the node when it probed it as root.
// Written by udev, but the type is read off the key's bytes: only a name
// above, matched whole, is used.
constexpr const char* kUdevDataFormat = "/run/udev/data/b%u:%u";
constexpr const char* kUdevFileSystemLine = "E:ID_FS_TYPE=";
// udev's records of a disk run to a few KiB.
constexpr size_t kMaxUdevDataBytes = 65536;
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

// Sealed logs. While this directory exists on a device that trusts keys, the
// log goes to a key only sealed to the one log public key (*.pub) in it, so
// that a copy of a signed post-update key brings back what only the maker can
// read. The directory and its key are checked as the trusted keys are.
constexpr const char* kLogKeysDir = "/etc/tarvexd/log-keys";
constexpr const char* kLogKeySuffix = ".pub";
constexpr size_t kMaxLogKeyBytes = 4096;
// A log key file is a comment line, then in base64 this tag, the key id (8
// bytes) and the X25519 public key (32 bytes); its secret half, which never
// goes near a device, has the tag, the id, the secret key and the public key.
constexpr const char* kLogKeyComment = "untrusted comment: tarvexd log public key %s\n";
constexpr const char* kLogSecretKeyComment = "untrusted comment: tarvexd log secret key %s\n";
constexpr const char* kLogKeyAlgorithm = "Lx";
// A sealed log.txt: this line, with the key id as keyIdText writes it; then
// the stream key sealed to the log key (crypto_box_seal, 80 bytes), the
// stream's header (24 bytes) and the log in chunks of this many bytes, each
// 17 bytes longer once sealed. The last chunk is shorter than the others
// (empty, if need be) and tagged final, so a log cut short does not open.
constexpr const char* kSealedLogHeader = "tarvexd sealed log 1, key %s\n";
constexpr size_t kSealedLogChunkBytes = 65536;
// What is wrong with the log key, for the line that keeps the log
// (kLineLogNotHandedOver).
constexpr const char* kReasonNoUsableLogKey = "no usable log key: %s";
constexpr const char* kReasonNoLogKey = "no key in /etc/tarvexd/log-keys";
constexpr const char* kReasonTwoLogKeys = "more than one key in /etc/tarvexd/log-keys";
// A path.
constexpr const char* kReasonNotALogKey = "%s is not a tarvexd log public key";

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
// %s for each text, %u, %zu or %llu for each number (by its type) and %d for
// nothing but a descriptor, filled in by formatText.
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

// The node, then the type udev found on it (or kUnnamedFileSystem when its
// name is not a plain word).
constexpr const char* kLineUnknownFileSystem =
    "Not mounting /dev/%s: udev found %s on it, not a file system keys are formatted with";
constexpr const char* kUnnamedFileSystem = "a file system without a plain name";

// The root program's refusals and failures, one line each on its standard
// error, which goes to the daemon's journal. The node, then why.
constexpr const char* kHelperNotMounting = "tarvex-mount: not mounting /dev/%s: %s";
// Why.
constexpr const char* kHelperNotUnmounting = "tarvex-mount: not unmounting /home/pi/media: %s";
constexpr const char* kHelperUsage =
    "usage: tarvex-mount mount sdXN TYPE owner|plain, or tarvex-mount unmount "
    "(TYPE: vfat, exfat, ext4, ext3, ext2 or vfat,ext4,ext3,ext2,exfat)";
// Why not, for the lines above. A path, then errno's text.
constexpr const char* kHelperCannotOpen = "cannot open %s: %s";
// A path.
constexpr const char* kHelperIsLink = "%s is a link";
constexpr const char* kHelperNotRoots = "%s is not root's";
constexpr const char* kHelperNotImmutable = "%s is not immutable (chattr +i)";
constexpr const char* kHelperCovered = "something is mounted over %s";
constexpr const char* kHelperAlreadyMounted = "something is mounted on /home/pi/media already";
constexpr const char* kHelperNothingMounted = "nothing is mounted on /home/pi/media";
constexpr const char* kHelperCannotLookBeneath =
    "cannot look at the directory beneath the mount: %s";
constexpr const char* kHelperNoMountTable = "cannot read the kernel's mount table";
constexpr const char* kHelperNotBlockDevice = "it is not a block device";
// errno's text.
constexpr const char* kHelperNoKernelRecord = "the kernel has no record of it in /sys: %s";
constexpr const char* kHelperOtherRecord = "the kernel's record in /sys is of another device";
// The disk.
constexpr const char* kHelperNotUsb = "%s is not a USB disk";
// A node of the disk, then where it is mounted.
constexpr const char* kHelperInUse = "%s is mounted at %s";
// A node of the disk.
constexpr const char* kHelperInFstab = "%s is named in /etc/fstab";
constexpr const char* kHelperNoOwner = "there is no user pi";
// The type, then errno's text.
constexpr const char* kHelperMountFailed = "mounting it as %s failed: %s";
constexpr const char* kHelperUnmountFailed = "the unmount failed: %s";
// A driver's exit status.
constexpr const char* kHelperFuseFailed = "the FUSE exFAT driver failed (exit status %d)";

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
constexpr const char* kReasonTooLarge = "%s is larger than %zu bytes";
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
    "release %llu is older than release %llu, which this device has run";
// What is wrong with the release state: one of the kReasonState* texts, or
// why the file was not read (kReasonIsALink and the others, of "it").
constexpr const char* kReasonReleaseStateUnreadable =
    "cannot read /var/lib/tarvexd/state/releases: %s; to reset, remove that file (any release "
    "then runs)";
constexpr const char* kReasonStateEmpty = "it is empty";
// The line's number.
constexpr const char* kReasonStateBadLine = "line %zu is not a folder and a release";
constexpr const char* kReasonStateRepeat = "line %zu names a folder an earlier line names";
// The release, then errno's text.
constexpr const char* kReasonCannotRecordRelease =
    "cannot record release %llu in /var/lib/tarvexd/state/releases: %s";
// Why the local log was not copied, when it is not a file (reading a FIFO
// would hang the daemon).
constexpr const char* kReasonLogNotARegularFile = "not a regular file";

// Each path above is defined once; the texts that spell one out for a person
// to read or a shell to run must name that one.
static_assert(mentions(kIsMountedCommand, kMountPoint) &&
              endsWithText(kRemoveMountPointCommand, kMountPoint) &&
              endsWithText(kMakeMountPointCommand, kMountPoint));
static_assert(spellsAt(kMountCommand, textLength("sudo "), kMountHelperPath) &&
              spellsAt(kUnmountCommand, textLength("sudo "), kMountHelperPath));
static_assert(mentions(kLineNotRemovingMountPoint, kMountPoint) &&
              mentions(kLineMountPointRefused, kMountPoint) &&
              mentions(kHelperNotUnmounting, kMountPoint) &&
              mentions(kHelperAlreadyMounted, kMountPoint) &&
              mentions(kHelperNothingMounted, kMountPoint));
static_assert(mentions(kLineCannotCopyLog, kLocalLogPath) &&
              mentions(kLineCannotRemoveLog, kLocalLogPath) &&
              mentions(kLineLogNotHandedOver, kLocalLogPath) &&
              spellsAt(kLocalLogAsidePath, 0, kLocalLogPath));
static_assert(endsWithText(kReasonNoKey, kTrustedKeysDir) &&
              endsWithText(kReasonNoLogKey, kLogKeysDir) &&
              endsWithText(kReasonTwoLogKeys, kLogKeysDir));
static_assert(spellsAt(kReleaseStatePath, 0, kStateDir) &&
              endsWithText(kReleaseStatePath, kReleaseStateName) &&
              mentions(kReasonReleaseStateUnreadable, kReleaseStatePath) &&
              mentions(kReasonCannotRecordRelease, kReleaseStatePath));
static_assert(mentions(kHelperInFstab, kFstabPath));
static_assert(endsWithText(kPartitionSizeCommand, "/dev/") &&
              mentions(kPartitionSizeCommand, kDevDir) &&
              mentions(kLineUnknownFileSystem, kDevDir) && mentions(kHelperNotMounting, kDevDir));
static_assert(mentions(kLineProcessTableUnreadable, kProcDir) &&
              mentions(kLineProcessTableUnreadable, kApplicationName) &&
              mentions(kRelaunchCommand, kApplicationName));

}  // namespace tarvex
