#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root), builds Zendral and
# runs the whole test suite; then builds the job service's tests once more
# under ThreadSanitizer and runs them there (set ZENDRAL_SKIP_TSAN=1 to skip
# that second part).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
(cd "${BUILD_DIR:-build}" && ctest --output-on-failure -j 2 --timeout 600)

if [ "${ZENDRAL_SKIP_TSAN:-0}" != 1 ]; then
    tsan_tests=(tst_nesterjob tst_localserver tst_writebackup tst_storestress tst_storecrash
                tst_framing tst_protocol tst_sessionlifetime tst_robustness tst_limits)
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENDRAL_SANITIZE=thread
    cmake --build build-tsan -j "$(nproc)" --target "${tsan_tests[@]}"
    pattern=$(IFS='|'; echo "^(${tsan_tests[*]})\$")
    (cd build-tsan && ctest --output-on-failure -j 2 --timeout 600 -R "$pattern")
fi
