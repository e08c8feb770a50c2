// The root program's two steps. Each is decided on what it has opened itself,
// at the moment it acts: the locked mount point, the kernel's record of the
// node, the mount table and /etc/fstab.
#pragma once

#include "base/result.hpp"
#include "privileged/mount_request.hpp"

// Mounts the requested node of a USB key on the locked /home/pi/media,
// nosuid, nodev and read-only after an error, by the kernel's driver (the
// FUSE exFAT driver only where the kernel has no exFAT). A refusal says why.
Result<> mountKey(const MountRequest& request);

// Unmounts what is mounted on the locked /home/pi/media, and nothing else.
Result<> unmountKey();
