#!/bin/sh
# Runs inside the guest's root folder (chroot) while its image is made:
# installs the kernel and what the scenarios need, the Japanese locale, and
# an initrd that holds just what finds the root disk.
#   provision.sh MIRROR SUITE
set -eu
mirror=$1
suite=$2
export DEBIAN_FRONTEND=noninteractive LC_ALL=C

cat >/etc/apt/sources.list <<SOURCES
deb $mirror $suite main
deb $mirror $suite-updates main
SOURCES
dpkg --add-architecture i386

# The root disk is a virtio disk with ext4: nothing else is needed to mount it.
mkdir -p /etc/initramfs-tools/conf.d
echo MODULES=list >/etc/initramfs-tools/conf.d/lane32
printf '%s\n' virtio_pci virtio_blk ext4 >/etc/initramfs-tools/modules

apt-get update -q
apt-get install -y -q --no-install-recommends \
  linux-image-amd64 initramfs-tools kmod procps \
  wine wine64 wine32:i386 xvfb xauth locales fonts-ipafont-gothic \
  python3 imagemagick osslsigncode openssl libstdc++6

sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >>/etc/locale.gen
locale-gen

apt-get clean
rm -rf /var/lib/apt/lists/*
