#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine (as root), builds Zendral and
# starts the service at once ("-a"). Without a display it runs on Qt's
# offscreen platform. Unless an engine is configured already, the stand-in
# engine that the build makes is configured as the nesting engine, so a
# submitted job runs from end to end.
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
    export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
fi
echo "Zendral is listening on port $(grep -Po '^port=\K.*' "$settings" 2>/dev/null || echo 10088); stop it with Ctrl+C."
exec "$bin/zendral" -a
