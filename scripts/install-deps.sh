#!/usr/bin/env bash
# Installs what building and testing tarvexd needs on a fresh Debian 12 machine.
# Run as root. Safe to run again.
#
#   scripts/install-deps.sh [TARGET...]
#
# TARGET armhf or arm64 adds what packaging/build.sh needs to cross-build for
# it and test the result under qemu: the cross compiler, and libsodium and
# GoogleTest of that architecture through multiarch (the armhf package is
# built with the armel compilers and libraries, see cmake/toolchain-armhf.cmake).
# amd64 needs nothing more. TARGET system adds what the system tests need
# (scripts/system_image.sh, tools/system_vm.py): QEMU for both
# architectures, mmdebstrap, and the tools that write keys' file systems.
set -euo pipefail

packages=(
  # build
  cmake g++ make libgtest-dev libsodium-dev
  # the device's tools, used for real inside the test sandbox
  sudo fdisk util-linux mount alsa-utils coreutils procps
  # simulated keys: exFAT through FUSE (the kernel here has no exfat or vfat), ext4
  exfatprogs exfat-fuse e2fsprogs
  # sounds and loopback for the sandbox, the end-to-end test runner, signed
  # update scripts
  sox iproute2 python3 python3-pytest python3-pytest-xdist minisign
  # the maker's tool (tools/tarvex-key): sealed logs, FAT32 key images
  python3-nacl mtools dosfstools
)

foreign=()
for target in "$@"; do
  case $target in
    amd64) ;;
    armhf) foreign+=(armel); packages+=(g++-arm-linux-gnueabi qemu-user) ;;
    arm64) foreign+=(arm64); packages+=(g++-aarch64-linux-gnu qemu-user) ;;
    system) packages+=(qemu-system-x86 qemu-system-arm qemu-utils mmdebstrap debian-archive-keyring
                       qemu-user-static binfmt-support arch-test mtools dosfstools ntfs-3g minisign dpkg-dev
                       device-tree-compiler) ;;
    *) echo "install-deps.sh: unknown target $target (amd64, armhf, arm64, system)" >&2; exit 2 ;;
  esac
done
for arch in "${foreign[@]}"; do
  dpkg --add-architecture "$arch"
  packages+=("libsodium-dev:$arch" "libgtest-dev:$arch")
done

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
