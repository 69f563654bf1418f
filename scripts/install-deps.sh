#!/usr/bin/env bash
# Installs what Zendral needs to build and test, from Debian's packages only.
# Runs as root on Debian 12; does nothing when everything is there already.
# Extra package names given as arguments are installed too (the benchmark's).
set -euo pipefail

# qttranslations5-l10n: Qt's own texts (OK, Cancel) in the interface languages.
# dpkg-dev, file: the Debian package's dependencies (dpkg-shlibdeps, which
# CPack runs on the programs it finds with file); desktop-file-utils: the
# package check validates the desktop entry.
# zlib1g-dev: the journal's CRC-32; g++-mingw-w64-x86-64: the test compiles the Windows platform file.
# rapidjson-dev: the JSON parser for untrusted input (header-only);
# clang and libclang-rt-14-dev: the fuzz targets (libFuzzer).
# libpq-dev: the client library of the shared queue on PostgreSQL;
# postgresql: the server the cluster tests and the benchmark start for
# themselves (initdb, pg_ctl).
# libsystemd-dev and pkgconf: zendrald's readiness notifications (sd_notify);
# lintian, systemd (systemd-analyze) and binutils (readelf): the package check.
# libcpp-httplib-dev: the status page's HTTP server (a shared library in Debian);
# chromium, nodejs and npm: the status page's browser test (puppeteer-core from
# tests/browser/package.json drives Debian's Chromium). A Node.js from elsewhere
# that brings its own npm is kept.
packages=(g++ cmake ninja-build qtbase5-dev qttools5-dev-tools zlib1g-dev rapidjson-dev
          qttranslations5-l10n dpkg-dev file desktop-file-utils clang libclang-rt-14-dev
          libpq-dev postgresql g++-mingw-w64-x86-64 libsystemd-dev pkgconf lintian systemd binutils
          libcpp-httplib-dev chromium "$@")
command -v node > /dev/null || packages+=(nodejs)
command -v npm > /dev/null || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
