// Everything done to the mount point /home/pi/media: testing it, mounting the
// key there with retries and clean-up, and unmounting it.
#pragma once

// True when the mountpoint tool says /home/pi/media is a mount point now.
// False, without asking it, when /home/pi/media is a link or not a directory
// (said once in a status line): nothing is mounted on a link itself.
bool isMounted();

// True when /home/pi/media can be opened and listed. A mount whose device has
// gone fails here while still being a mount point.
bool isMountedDirAccesable();

// Mounts /dev/sd<letter><partition> (the whole disk for partition -1) at the
// mount point, nosuid and nodev, up to three attempts, as the file system
// udev found on it if that is one keys are formatted with, else as any of
// those. True only when this call's commands were followed by the mount point
// showing up as mounted within about a second. While the mount point is a
// link or not a directory, nothing is run: no mount, and no clean-up.
bool MountUsbkey(char letter, int partition);

// Prints "Unmounting" and runs the unmount; the outcome is not checked.
// Nothing happens while the mount point is a link or not a directory.
void UnmountUsbkey();

// True when the kernel still has a mount at the mount point that can no
// longer be listed, although the mountpoint tool does not report it: what an
// exFAT key leaves behind when its FUSE driver dies. Left alone it would block
// every later mount for good.
bool isDeadMountAtMountPoint();
