#!/usr/bin/env bash
# Builds the Debian package from a build folder (cpack -G DEB) and checks it:
# the installed files are there (man pages compressed, copyright, changelog,
# the settings file in /etc), Depends is filled in (dpkg-shlibdeps), the
# control fields and conffiles, the desktop entry is valid, the systemd unit
# is Type=notify, runs zendrald on /etc/zendral/zendral.conf, verifies and
# rates at most 3.5 in systemd-analyze security (where systemd-analyze works
# on this machine), zendrald is built hardened (BIND_NOW, fortified calls),
# lintian reports no error or warning, and the packaged zendral answers
# --version from an extracted copy without any display.
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
    ./usr/share/man/man1/zendral.1.gz
    ./usr/share/man/man1/zendrald.1.gz
    ./usr/share/doc/zendral/copyright
    ./usr/share/doc/zendral/changelog.Debian.gz
    ./etc/zendral/zendral.conf
    # the client's files
    ./usr/share/bash-completion/completions/zendral-client
    ./usr/share/man/man1/zendral-client.1.gz
    # the operator's command line
    ./usr/bin/zendralctl
    ./usr/share/bash-completion/completions/zendralctl
    ./usr/share/man/man1/zendralctl.1.gz
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

# 2b. Control fields and the conffile list: the settings in /etc survive a
# remove and go with a purge.
section=$(dpkg-deb -f "$deb" Section)
recommends=$(dpkg-deb -f "$deb" Recommends)
if [ "$section" = net ] && [[ $recommends == *fonts-noto-cjk* ]]; then
    pass "Section: $section; Recommends: $recommends"
else
    fail "Section '$section' is not net, or Recommends '$recommends' lacks a CJK font"
fi
mkdir -p "$work/control"
dpkg-deb -e "$deb" "$work/control"
if grep -qx /etc/zendral/zendral.conf "$work/control/conffiles" 2> /dev/null; then
    pass "conffiles lists /etc/zendral/zendral.conf"
else
    fail "conffiles does not list /etc/zendral/zendral.conf"
fi
if [ -x "$work/control/postrm" ] && grep -q '^if \[ "\$1" = "purge" \]' "$work/control/postrm" \
    && grep -q 'rm -rf "${DPKG_ROOT:-}/var/lib/private/zendral"' "$work/control/postrm"; then
    pass "postrm removes the state folder on purge"
else
    fail "postrm does not remove /var/lib/zendral on purge"
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
execstart="ExecStart=/usr/bin/zendrald --config /etc/zendral/zendral.conf"
if grep -qx 'Type=notify' "$unit" && grep -q "^$execstart\( \|\$\)" "$unit"; then
    pass "the unit is Type=notify and runs zendrald --config /etc/zendral/zendral.conf"
else
    fail "the unit is not Type=notify or does not run '$execstart'"
fi
mkdir -p "$work/verify"
printf '[Service]\nExecStart=/bin/true\n' > "$work/verify/probe.service"
if ! command -v systemd-analyze > /dev/null; then
    echo "skipped: systemd-analyze is not installed"; skipped=$((skipped + 1))
elif ! systemd-analyze verify --man=no "$work/verify/probe.service" > /dev/null 2>&1; then
    echo "skipped: systemd-analyze verify does not work on this machine"; skipped=$((skipped + 1))
else
    sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" > "$work/verify/zendral.service"
    if grep -q "^ExecStart=$root/usr/bin/zendrald " "$work/verify/zendral.service" \
        && output=$(systemd-analyze verify --man=no "$work/verify/zendral.service" 2>&1) && [ -z "$output" ]; then
        pass "systemd unit verifies"
    else
        fail "systemd-analyze verify: ${output:-ExecStart is not /usr/bin/zendrald}"
    fi
    # The sandbox: the overall exposure systemd rates the unit at (0 safe to
    # 10 exposed), judged from the unit file alone (--offline).
    if ! systemd-analyze security --help 2>&1 | grep -q -- '--offline'; then
        echo "skipped: systemd-analyze security has no --offline here"; skipped=$((skipped + 1))
    else
        report=$(systemd-analyze security --offline=yes --no-pager "$work/verify/zendral.service" 2>&1) || true
        exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p' <<< "$report")
        if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 3.5) }'; then
            pass "systemd-analyze security rates the unit $exposure (at most 3.5)"
        else
            fail "systemd-analyze security: exposure '${exposure:-?}' above 3.5: $(tail -1 <<< "$report")"
        fi
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

# 7. Hardening (Debian's build flags): zendrald's relocations are bound at
# start and read-only (BIND_NOW, RELRO) and its functions have the stack
# protector. Fortified calls (_chk) appear only where the compiler cannot
# prove a call safe; zendrald has none of those, so they are looked for in
# all the package's programs, and none may call the unchecked printf family,
# which fortification always replaces.
dynamic=$(readelf -d "$root/usr/bin/zendrald" 2>&1)
program_headers=$(readelf -lW "$root/usr/bin/zendrald" 2>&1)
symbols=$(readelf --dyn-syms -W "$root/usr/bin/zendrald" 2>&1)
if grep -qE 'BIND_NOW|FLAGS_1.* NOW' <<< "$dynamic" && grep -q GNU_RELRO <<< "$program_headers" \
    && grep -q '__stack_chk_fail' <<< "$symbols"; then
    pass "zendrald is hardened: BIND_NOW, RELRO, stack protector"
else
    fail "zendrald lacks BIND_NOW, RELRO or the stack protector"
fi
programs=("$root"/usr/bin/* "$root"/usr/lib/zendral/*)
all_symbols=$(for program in "${programs[@]}"; do readelf --dyn-syms -W "$program"; done 2>&1)
fortified=$(grep -oE '__[a-z]+_chk@' <<< "$all_symbols" | grep -v stack_chk | sort -u | tr '\n' ' ')
if [ -n "$fortified" ] && ! grep -qE ' (v?s?n?printf|v?fprintf)@' <<< "$all_symbols"; then
    pass "fortified calls in the programs: $fortified; no unchecked printf family"
else
    fail "the programs are not fortified (_chk calls: '${fortified}')"
fi

# 8. lintian: no error and no warning (overrides carry their reasons).
if ! command -v lintian > /dev/null; then
    fail "lintian is not installed (scripts/install-deps.sh installs it)"
elif output=$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1); then
    pass "lintian reports no error or warning"
    [ -z "$output" ] || echo "$output"
else
    fail "lintian:"
    echo "$output"
fi

echo "Package check: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
