#!/usr/bin/env bash
# Builds the Debian package from a build folder (cpack -G DEB) and checks it:
# the installed files are there, Depends is filled in (dpkg-shlibdeps), the
# desktop entry is valid, the systemd unit verifies (where systemd-analyze
# works on this machine), and the packaged zendral answers --version from an
# extracted copy without any display.
#
#   bash packaging/check-package.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(cd "${1:-build}" && pwd)

rm -f "$build_dir"/zendral_*.deb
(cd "$build_dir" && cpack -G DEB > cpack.log 2>&1) || { cat "$build_dir/cpack.log"; exit 1; }
deb=$(ls "$build_dir"/zendral_*.deb)
echo "Checking $deb"

work=$(mktemp -d)
# Removes only the folder mktemp made.
trap 'case $work in "${TMPDIR:-/tmp}"/tmp.*) rm -rf -- "$work" ;; esac' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"

passed=0
failed=0
skipped=0
pass() { echo "ok: $*"; passed=$((passed + 1)); }
fail() { echo "FAILED: $*"; failed=$((failed + 1)); }

# 1. Contents. Patterns are shell patterns over the package's file list.
expected=(
    ./usr/bin/zendral
    ./usr/bin/zendrald
    ./usr/bin/zendral-client
    ./usr/lib/zendral/zendral-stub-engine
    ./usr/lib/systemd/system/zendral.service
    ./usr/share/applications/zendral.desktop
    ./usr/share/metainfo/com.orvane.Zendral.metainfo.xml
    ./usr/share/icons/hicolor/16x16/apps/zendral.png
    ./usr/share/icons/hicolor/32x32/apps/zendral.png
    ./usr/share/icons/hicolor/48x48/apps/zendral.png
    ./usr/share/icons/hicolor/64x64/apps/zendral.png
    ./usr/share/icons/hicolor/128x128/apps/zendral.png
    ./usr/share/icons/hicolor/256x256/apps/zendral.png
    './usr/share/man/man1/zendral.1*'
    # the client's files
    ./usr/share/bash-completion/completions/zendral-client
    './usr/share/man/man1/zendral-client.1*'
)
listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
missing=()
for pattern in "${expected[@]}"; do
    found=0
    while IFS= read -r path; do
        # shellcheck disable=SC2053 # the pattern is meant to match as a pattern
        if [[ $path == $pattern ]]; then found=1; break; fi
    done <<< "$listing"
    [ "$found" = 1 ] || missing+=("$pattern")
done
if [ ${#missing[@]} -eq 0 ]; then
    pass "all ${#expected[@]} expected files are in the package"
else
    fail "missing from the package: ${missing[*]}"
fi

# 2. Depends, as dpkg-shlibdeps computed it from the programs.
depends=$(dpkg-deb -f "$deb" Depends)
if [[ $depends == *libqt5core5a* && $depends == *libc6* ]]; then
    pass "Depends: $depends"
else
    fail "Depends is not filled in from the programs' libraries: '$depends'"
fi

# 3. The desktop entry.
if desktop-file-validate "$root/usr/share/applications/zendral.desktop"; then
    pass "desktop entry is valid"
else
    fail "desktop-file-validate rejects the desktop entry"
fi

# 4. The systemd unit. verify checks that ExecStart= exists, so a copy points
# at the extracted program. It also only warns about unknown keys: any output
# counts as a failure. First a trivial unit shows whether systemd-analyze
# works here at all (it may not inside a container).
unit=$root/usr/lib/systemd/system/zendral.service
mkdir -p "$work/verify"
printf '[Service]\nExecStart=/bin/true\n' > "$work/verify/probe.service"
if ! command -v systemd-analyze > /dev/null; then
    echo "skipped: systemd-analyze is not installed"; skipped=$((skipped + 1))
elif ! systemd-analyze verify --man=no "$work/verify/probe.service" > /dev/null 2>&1; then
    echo "skipped: systemd-analyze verify does not work on this machine"; skipped=$((skipped + 1))
else
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" > "$work/verify/zendral.service"
    if grep -q "^ExecStart=$root/usr/bin/zendrald\$" "$work/verify/zendral.service" \
        && output=$(systemd-analyze verify --man=no "$work/verify/zendral.service" 2>&1) && [ -z "$output" ]; then
        pass "systemd unit verifies"
    else
        fail "systemd-analyze verify: ${output:-ExecStart is not /usr/bin/zendrald}"
    fi
fi

# 5. The packaged program answers --version without a display.
version=$(dpkg-deb -f "$deb" Version)
if output=$(env -u QT_QPA_PLATFORM -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/zendral" --version 2>&1) \
    && [[ $output == "Zendral ${version%.*} (build "*")" ]]; then
    pass "packaged zendral --version: $output"
else
    fail "packaged zendral --version gave: $output"
fi

# 6. The headless program needs no display library.
if output=$(readelf -d "$root/usr/bin/zendrald" 2>&1) && ! grep -qE 'NEEDED.*libQt5(Widgets|Gui)' <<< "$output"; then
    pass "zendrald links neither Qt Widgets nor Qt Gui"
else
    fail "zendrald links a display library: $(grep -E 'libQt5(Widgets|Gui)' <<< "$output")"
fi

echo "Package check: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
