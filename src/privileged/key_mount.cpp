#include "privileged/key_mount.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>

#include "base/format_text.hpp"
#include "privileged/locked_mount_point.hpp"
#include "privileged/usb_disk.hpp"
#include "tarvex_constants.hpp"

namespace {

struct Owner {
    uid_t uid;
    gid_t gid;
};

// Runs the FUSE exFAT driver on the open mount point. It gets the directory
// as this process's descriptor, so it mounts there and not wherever the
// path leads by then; it forks itself into the background once mounted.
Result<> mountWithFuse(const std::string& device, int media, const MountRequest& request,
                       const Owner& owner) {
    const char* driver = nullptr;
    for (const char* candidate : tarvex::kExfatFuseDrivers) {
        if (access(candidate, X_OK) == 0) {
            driver = candidate;
            break;
        }
    }
    if (driver == nullptr) {
        return refuse(formatText(tarvex::kHelperMountFailed, "exfat", std::strerror(ENODEV)));
    }
    std::string options = tarvex::kExfatFuseOptions;
    if (request.owner) {
        options += formatText(tarvex::kExfatFuseOwnerOptions, owner.uid, owner.gid);
    }
    const std::string target = descriptorPath(media);
    const pid_t child = fork();
    if (child < 0) {
        return refuse(formatText(tarvex::kHelperMountFailed, "exfat", std::strerror(errno)));
    }
    if (child == 0) {
        fcntl(media, F_SETFD, 0);
        const char* argv[] = {driver,         "-o",           options.c_str(),
                              device.c_str(), target.c_str(), nullptr};
        execv(driver, const_cast<char* const*>(argv));
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return refuse(
            formatText(tarvex::kHelperFuseFailed, WIFEXITED(status) ? WEXITSTATUS(status) : -1));
    }
    return Done{};
}

// The types to try, in order: the one named, or each of the list.
std::vector<std::string> typesOf(const std::string& type) {
    std::vector<std::string> types;
    for (size_t at = 0; at <= type.size();) {
        const size_t comma = std::min(type.find(',', at), type.size());
        types.push_back(type.substr(at, comma - at));
        at = comma + 1;
    }
    return types;
}

}  // namespace

Result<> mountKey(const MountRequest& request) {
    Owner owner{0, 0};
    if (request.owner) {
        const passwd* pi = getpwnam(tarvex::kKeyOwner);
        if (pi == nullptr) {
            return refuse(tarvex::kHelperNoOwner);
        }
        owner = Owner{pi->pw_uid, pi->pw_gid};
    }
    auto at = openMountPoint();
    if (!at) {
        return refuse(at.why());
    }
    auto ready = checkReadyForKey(*at);
    if (!ready) {
        return ready;
    }
    auto disk = findUsbDisk(request.node);
    if (!disk) {
        return refuse(disk.why());
    }
    auto unused = checkNotInUse(*disk);
    if (!unused) {
        return unused;
    }
    const std::string device = std::string(tarvex::kDevDir) + "/" + request.node;
    const std::string target = descriptorPath(at->media.get());
    std::string data = tarvex::kMountErrorsOption;
    if (request.owner) {
        data += formatText(tarvex::kMountOwnerData, owner.uid, owner.gid);
    }
    int failure = ENODEV;
    for (const std::string& type : typesOf(request.type)) {
        if (mount(device.c_str(), target.c_str(), type.c_str(), MS_NOSUID | MS_NODEV,
                  data.c_str()) == 0) {
            return Done{};
        }
        // No such file system in this kernel, even as a module.
        if (errno == ENODEV && type == "exfat") {
            auto fused = mountWithFuse(device, at->media.get(), request, owner);
            if (fused || request.type == type) {
                return fused;
            }
            continue;
        }
        // The first type's complaint is the telling one for a single type;
        // for the list, a bad superblock is what most say.
        if (failure == ENODEV) {
            failure = errno;
        }
    }
    return refuse(
        formatText(tarvex::kHelperMountFailed, request.type.c_str(), std::strerror(failure)));
}

Result<> unmountKey() {
    auto at = openMountPoint();
    if (!at) {
        return refuse(at.why());
    }
    auto locked = checkMountedOnLockedDirectory(*at);
    if (!locked) {
        return locked;
    }
    // By the directory's name inside the open /home/pi, not by an open
    // descriptor of the key's root: that would keep the key busy.
    const std::string media = descriptorPath(at->pi.get()) + "/" + tarvex::kMountPointComponents[2];
    at->media.reset();
    if (umount2(media.c_str(), UMOUNT_NOFOLLOW) != 0) {
        return refuse(formatText(tarvex::kHelperUnmountFailed, std::strerror(errno)));
    }
    return Done{};
}
