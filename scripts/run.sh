#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root), builds Zendral and
# starts the service at once: the window ("zendral -a") where there is a
# display, else the headless service zendrald. Unless an engine is configured already, the stand-in
# engine that the build makes is configured as the nesting engine, so a
# submitted job runs from end to end.
#
# The service runs in the foreground; its standard error (the essential
# events) is shown here. The script says "listening" only once the service
# says so, and ends with the service's reason and status 1 when it cannot
# listen (a taken port). Ctrl+C stops the service cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
bin=$(pwd)/${BUILD_DIR:-build}/bin

config_home=${XDG_CONFIG_HOME:-$HOME/.config}
settings=$config_home/Orvane/Zendral.conf
if ! grep -q '^engine=.' "$settings" 2>/dev/null; then
    mkdir -p "$(dirname "$settings")"
    if grep -q '^\[worker\]' "$settings" 2>/dev/null; then
        sed -i "/^\[worker\]/a engine=$bin/zendral-stub-engine" "$settings"
    else
        printf '\n[worker]\nengine=%s\n' "$bin/zendral-stub-engine" >> "$settings"
    fi
    echo "Configured the stand-in engine in $settings"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    service=("$bin/zendrald")
else
    service=("$bin/zendral" -a)
fi

# The service's standard error comes through a FIFO, read line by line.
fifo_dir=$(mktemp -d)
fifo=$fifo_dir/stderr
mkfifo "$fifo"
trap 'rm -f "$fifo"; rmdir "$fifo_dir"' EXIT
"${service[@]}" 2>"$fifo" &
pid=$!
# A background job ignores Ctrl+C; pass it on as SIGTERM, a clean stop.
trap 'kill -TERM "$pid" 2>/dev/null || true' INT TERM
exec 3<"$fifo"

listening=0
while :; do
    status=0
    IFS= read -r line <&3 || status=$?
    if [ "$status" -gt 128 ]; then
        continue # interrupted by Ctrl+C: read on until the service has ended
    elif [ "$status" -ne 0 ]; then
        break # the service has closed its standard error: it has ended
    fi
    printf '%s\n' "$line" >&2
    if [ "$listening" = 0 ]; then
        case $line in
        *" Info: Listening on "*)
            listening=1
            address=${line#* Info: Listening on }
            echo "Zendral is listening on ${address%% *}; stop it with Ctrl+C."
            ;;
        *" Warning: Cannot listen on port "*)
            reason=${line#* Warning: }
            echo "Zendral cannot start: ${reason% (*}" >&2
            kill -TERM "$pid" 2>/dev/null || true
            cat <&3 >/dev/null # let it write its last lines while it ends
            wait "$pid" || true
            exit 1
            ;;
        esac
    fi
done

status=0
wait "$pid" || status=$?
if [ "$listening" = 0 ]; then
    echo "Zendral ended before it was listening (exit status $status)." >&2
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
