#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root), builds Zendral and
# runs the whole test suite (and compiles the Windows platform file with
# MinGW-w64), builds the Debian package and checks it
# (packaging/check-package.sh); then builds the job service's tests once more
# under ThreadSanitizer and runs them there (set ZENDRAL_SKIP_TSAN=1 to skip
# that second part), and runs each fuzz target for a short fixed time in a
# Clang build (ZENDRAL_SKIP_FUZZ=1 skips that; ZENDRAL_FUZZ_SECONDS sets the
# time per target, 15 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# The browser test's puppeteer-core, as the lockfile pins it.
(cd tests/browser && npm ci --no-audit --no-fund)
# The Windows platform file must compile (Win32 and standard C++ only); this
# machine has no Windows build, so MinGW-w64 compiles it to an object file.
x86_64-w64-mingw32-g++ -std=c++17 -Wall -Wextra -Werror -c src/platform/PlatformWindows.cpp -o /dev/null
bash scripts/build.sh
(cd "${BUILD_DIR:-build}" && ctest --output-on-failure -j 2 --timeout 600)

# The Debian package, built from the same build folder and checked.
bash packaging/check-package.sh "${BUILD_DIR:-build}"

if [ "${ZENDRAL_SKIP_TSAN:-0}" != 1 ]; then
    tsan_tests=(tst_nesterjob tst_localserver tst_writebackup tst_storestress tst_storecrash
                tst_framing tst_protocol tst_sessionlifetime tst_addressprobe tst_robustness tst_limits tst_cluster tst_queuerules tst_zendralctl
                tst_statuspage tst_floor)
    cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZENDRAL_SANITIZE=thread
    cmake --build build-tsan -j "$(nproc)" --target "${tsan_tests[@]}"
    pattern=$(IFS='|'; echo "^(${tsan_tests[*]})\$")
    (cd build-tsan && ctest --output-on-failure -j 2 --timeout 600 -R "$pattern")
fi

if [ "${ZENDRAL_SKIP_FUZZ:-0}" != 1 ]; then
    fuzz_targets=(fuzz_frame fuzz_addrequest fuzz_jobrecord fuzz_backup fuzz_marker fuzz_engineoutput fuzz_journal fuzz_smallpayload)
    cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
          -DZENDRAL_SANITIZE=address -DZENDRAL_FUZZ=ON -DZENDRAL_FUZZ_SECONDS="${ZENDRAL_FUZZ_SECONDS:-15}"
    cmake --build build-fuzz -j "$(nproc)" --target "${fuzz_targets[@]}"
    (cd build-fuzz && ctest --output-on-failure -j 2 -L fuzz)
fi
