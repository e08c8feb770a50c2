#!/usr/bin/env bash
# Installs what building and testing tarvexd needs on a fresh Debian 12 machine.
# Run as root. Safe to run again.
set -euo pipefail

packages=(
  # build
  cmake g++ make libgtest-dev libsodium-dev
  # the device's tools, used for real inside the test sandbox
  sudo fdisk util-linux mount alsa-utils coreutils procps
  # simulated keys: exFAT through FUSE (the kernel here has no exfat or vfat), ext4
  exfatprogs exfat-fuse e2fsprogs
  # sounds for the sandbox, the end-to-end test runner, signed update scripts
  sox python3 python3-pytest python3-pytest-xdist minisign
)

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
