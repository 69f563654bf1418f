#!/usr/bin/env bash
# Runs the benchmark of the job service against beanstalkd (see README,
# "Performance"). Installs what it needs from Debian's packages when missing
# (beanstalkd to compare with, perf to count the service's flushes), builds
# the service and zendral-bench, and runs it; arguments go to zendral-bench,
# e.g. `bash scripts/bench.sh --jobs 2000 --window 500` for a short run.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh beanstalkd linux-perf

# Always an optimised build: a debug build would measure the wrong program.
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir" --target zendral zendral-bench
exec "$build_dir/bin/zendral-bench" "$@"
