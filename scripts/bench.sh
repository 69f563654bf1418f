#!/usr/bin/env bash
# Runs the benchmark of the job service against beanstalkd (see README,
# "Performance"). Installs what it needs from Debian's packages when missing
# (beanstalkd to compare with, perf to count the service's flushes), builds
# the service and zendral-bench, and runs it; arguments go to zendral-bench,
# e.g. `bash scripts/bench.sh --jobs 2000 --window 500` for a short run.
#
# --fresh-fs (first argument; Linux, as root): the run's scratch folder goes
# on a new, empty ext4 file system (an image file in /var/tmp, mounted
# through a loop device, removed afterwards), the same for every server. On
# an ext4 without a journal, a new inode is not taken from those deleted in
# the last minutes, and finding one reads the inode tables: a run shortly
# after another (whose scratch folder was just deleted) or beside builds that
# delete many files pays for it on every job folder and file it makes.
set -euo pipefail
cd "$(dirname "$0")/.."
fresh_fs=0
if [[ "${1:-}" == "--fresh-fs" ]]; then
    fresh_fs=1
    shift
fi
bash scripts/install-deps.sh beanstalkd linux-perf

# Always an optimised build: a debug build would measure the wrong program.
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" --target zendrald zendral-bench
if [[ $fresh_fs == 0 ]]; then
    exec "$build_dir/bin/zendral-bench" "$@"
fi

# 4 GiB, sparse: room for the 128 MiB uploads and 10,000s of job folders.
fs_dir=$(mktemp -d /var/tmp/zendral-bench-fs.XXXXXX)
image="$fs_dir/image"
mount_point="$fs_dir/mnt"
mounted=0
cleanup() {
    if [[ $mounted == 1 ]]; then
        umount "$mount_point" || true
    fi
    # Only what this script made: the image and the empty mount point.
    rm -f "$image"
    rmdir "$mount_point" "$fs_dir" 2>/dev/null || true
}
trap cleanup EXIT
truncate -s 4G "$image"
mkfs.ext4 -q -F "$image"
mkdir "$mount_point"
mount -o loop "$image" "$mount_point"
mounted=1
TMPDIR="$mount_point" "$build_dir/bin/zendral-bench" "$@"
