#include "privileged/locked_mount_point.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "storage/mount_table.hpp"
#include "tarvex_constants.hpp"

namespace {

// More mounts stacked on one directory than anyone makes by accident.
constexpr int kMaxStackedMounts = 16;
// A reason is one line; fdinfo a few.
constexpr size_t kMaxReasonBytes = 4096;
constexpr size_t kMaxFdInfoBytes = 4096;

// The mount an open descriptor is on, as the kernel tells it in fdinfo. Not
// statx: that asks the file system, and a FUSE key whose driver died answers
// nothing, though it must still be unmounted.
Result<uint64_t> mountIdOf(int fd, const std::string& path) {
    const std::string info = "/proc/self/fdinfo/" + std::to_string(fd);
    const auto file = readRegularFile(AT_FDCWD, info.c_str(), kMaxFdInfoBytes);
    const std::string field = "\nmnt_id:";
    const size_t at = file ? ("\n" + file->bytes).find(field) : std::string::npos;
    if (at == std::string::npos) {
        return refuse(formatText(tarvex::kHelperCannotOpen, path.c_str(), std::strerror(ENOSYS)));
    }
    return std::strtoull(file->bytes.c_str() + at + field.size() - 1, nullptr, 10);
}

// /home and /home/pi as directories to read; the last component as a path
// only, which opens even a mount whose FUSE driver has died and does not
// follow a link there either.
Result<OwnedFd> openComponent(int parent, const char* name, const std::string& path, bool last) {
    const int flags = last ? O_PATH | O_NOFOLLOW | O_CLOEXEC
                           : O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    OwnedFd fd(openat(parent, name, flags));
    if (fd) {
        return fd;
    }
    if (errno == ELOOP) {
        return refuse(formatText(tarvex::kHelperIsLink, path.c_str()));
    }
    return refuse(formatText(tarvex::kHelperCannotOpen, path.c_str(), std::strerror(errno)));
}

bool isImmutable(int fd) {
    int flags = 0;
    return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0;
}

// The directory itself, with nothing mounted on it: root's and immutable.
Result<> checkLockedDirectory(int media) {
    struct stat info {};
    if (fstat(media, &info) != 0) {
        return refuse(
            formatText(tarvex::kHelperCannotOpen, tarvex::kMountPoint, std::strerror(errno)));
    }
    if (S_ISLNK(info.st_mode)) {
        return refuse(formatText(tarvex::kHelperIsLink, tarvex::kMountPoint));
    }
    if (!S_ISDIR(info.st_mode)) {
        return refuse(
            formatText(tarvex::kHelperCannotOpen, tarvex::kMountPoint, std::strerror(ENOTDIR)));
    }
    if (info.st_uid != 0) {
        return refuse(formatText(tarvex::kHelperNotRoots, tarvex::kMountPoint));
    }
    // The flags are read through a descriptor opened for reading, from the
    // path-only one: the same directory.
    OwnedFd directory(openat(media, ".", O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!directory || !isImmutable(directory.get())) {
        return refuse(formatText(tarvex::kHelperNotImmutable, tarvex::kMountPoint));
    }
    return Done{};
}

// Every mount from the top one on /home/pi/media down to the directory is
// a mount on that same place: nothing is unmounted that sits elsewhere, say
// below a mount of pi's.
Result<> checkStackedOnMountPoint(const OpenMountPoint& at) {
    const auto mounts = readMountTable();
    if (!mounts) {
        return refuse(tarvex::kHelperNoMountTable);
    }
    uint64_t id = at.mediaMount;
    for (int depth = 0; depth < kMaxStackedMounts && id != at.piMount; ++depth) {
        const auto found = std::find_if(
            mounts->begin(), mounts->end(),
            [id](const MountEntry& entry) { return static_cast<uint64_t>(entry.id) == id; });
        if (found == mounts->end() || found->mountPoint != tarvex::kMountPoint) {
            return refuse(formatText(tarvex::kHelperCovered, tarvex::kMountPoint));
        }
        id = static_cast<uint64_t>(found->parent);
    }
    if (id != at.piMount) {
        return refuse(formatText(tarvex::kHelperCovered, tarvex::kMountPoint));
    }
    return Done{};
}

// In a child with a mount namespace of its own, private so that nothing
// done there reaches the device's: the mounts on /home/pi/media are detached
// and the directory beneath is opened afresh and checked. The reason for a
// refusal comes back through the pipe.
Result<> checkBeneathInOwnNamespace() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return refuse(formatText(tarvex::kHelperCannotLookBeneath, std::strerror(errno)));
    }
    OwnedFd reader(ends[0]);
    OwnedFd writer(ends[1]);
    const pid_t child = fork();
    if (child < 0) {
        return refuse(formatText(tarvex::kHelperCannotLookBeneath, std::strerror(errno)));
    }
    if (child == 0) {
        reader.reset();
        std::string why;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            why = formatText(tarvex::kHelperCannotLookBeneath, std::strerror(errno));
        } else {
            auto at = openMountPoint();
            for (int depth = 0; at && depth < kMaxStackedMounts && at->mediaMount != at->piMount;
                 ++depth) {
                const std::string media =
                    descriptorPath(at->pi.get()) + "/" + tarvex::kMountPointComponents[2];
                at->media.reset();
                umount2(media.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW);
                at = openMountPoint();
            }
            Result<> locked =
                !at ? Result<>(refuse(at.why()))
                : at->mediaMount != at->piMount
                    ? Result<>(refuse(formatText(tarvex::kHelperCovered, tarvex::kMountPoint)))
                    : checkLockedDirectory(at->media.get());
            if (!locked) {
                why = locked.why();
            }
        }
        // The parent reads the reason; a child that cannot even write it
        // still fails by its status.
        (void)writeAll(writer.get(), why.data(), why.size());
        _exit(why.empty() ? 0 : 1);
    }
    writer.reset();
    const auto said = readAtMost(reader.get(), kMaxReasonBytes);
    const std::string why = said ? said->substr(0, kMaxReasonBytes) : std::string();
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return refuse(why.empty() ? formatText(tarvex::kHelperCannotLookBeneath, "it died") : why);
    }
    return Done{};
}

}  // namespace

std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

Result<OpenMountPoint> openMountPoint() {
    OpenMountPoint at;
    OwnedFd root(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root) {
        return refuse(formatText(tarvex::kHelperCannotOpen, "/", std::strerror(errno)));
    }
    OwnedFd* opened[] = {&at.home, &at.pi, &at.media};
    uint64_t* mountIds[] = {&at.homeMount, &at.piMount, &at.mediaMount};
    std::string path;
    std::string piPath;
    int parent = root.get();
    for (size_t i = 0; i < std::size(opened); ++i) {
        const char* name = tarvex::kMountPointComponents[i];
        path += "/";
        path += name;
        auto fd = openComponent(parent, name, path, opened[i] == &at.media);
        if (!fd) {
            return refuse(fd.why());
        }
        auto id = mountIdOf(fd->get(), path);
        if (!id) {
            return refuse(id.why());
        }
        *opened[i] = std::move(*fd);
        *mountIds[i] = *id;
        parent = opened[i]->get();
        if (opened[i] == &at.pi) {
            piPath = path;
        }
    }
    if (at.piMount != at.homeMount) {
        return refuse(formatText(tarvex::kHelperCovered, piPath.c_str()));
    }
    return at;
}

Result<> checkReadyForKey(const OpenMountPoint& at) {
    if (at.mediaMount != at.piMount) {
        return refuse(tarvex::kHelperAlreadyMounted);
    }
    return checkLockedDirectory(at.media.get());
}

Result<> checkMountedOnLockedDirectory(const OpenMountPoint& at) {
    if (at.mediaMount == at.piMount) {
        return refuse(tarvex::kHelperNothingMounted);
    }
    auto stacked = checkStackedOnMountPoint(at);
    if (!stacked) {
        return stacked;
    }
    return checkBeneathInOwnNamespace();
}
