#!/bin/sh
# The guest's first and only process: mounts what a job needs, runs the job
# that the host left in the shared folder, and powers the machine off. The
# root disk is a snapshot, so nothing a job writes there outlives the boot.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
# The initrd hands over /proc, /sys and /dev already mounted.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
for m in netfs 9pnet 9pnet_virtio 9p; do modprobe "$m" 2>/dev/null; done
mkdir -p /repo /out
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,ro repo /repo
mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 out /out
hostname lane32
if [ -x /out/job.sh ]; then
  /out/job.sh >/out/job.log 2>&1 </dev/null
  echo $? >/out/job.status
else
  echo "lane32: no job" >/out/job.log
fi
sync
umount /out 2>/dev/null
echo 1 >/proc/sys/kernel/sysrq
echo o >/proc/sysrq-trigger
sleep 60
