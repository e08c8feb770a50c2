// Finding the USB key in /dev and choosing which of its partitions to mount.
#pragma once

#include <cstdint>
#include <string>

// What one probe found. letter is the third character of the disk's name
// (sda gives 'a'), 0 when no key is in. partition is the number to mount,
// -1 when none has a readable size and the whole disk is to be used.
// sizesPending: another partition's size read failed and is tried again by
// the next probe, so partition may not be the largest: mount nothing yet.
struct UsbKeyProbe {
    char letter;
    int partition;
    bool sizesPending = false;
};

// Takes the first three-character sd* block device that /dev lists and that
// is not mounted elsewhere (itself or a partition: a system or data disk), and
// of its partitions the largest by fdisk's byte count (the first listed wins a
// tie). A partition's size is read once per insertion of its node.
UsbKeyProbe isUsbKeyInserted();

// Byte size of /dev/<deviceName> from the first line of `sudo fdisk -l`; 0 when
// it cannot be read. Prints "ReadPartitionSize failed" when fdisk printed nothing.
uint64_t ReadPartitionSize(const std::string& deviceName);

// The byte count in fdisk's first line ("Disk /dev/sda1: 7.5 GiB, 8053063680
// bytes, 15728640 sectors"): the number two characters past the first comma;
// 0 when the line does not have one there.
uint64_t parseFdiskByteCount(const std::string& firstLine);

// The node's name: "sda" for letter 'a' and partition -1 (the whole disk),
// "sda1" for partition 1.
std::string deviceName(char letter, int partition);
