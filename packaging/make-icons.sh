#!/usr/bin/env bash
# Makes the hicolor theme icons of the package from resources/images/app.png.
# Run it by hand when the application image changes and commit the result:
# the build and the package then need no ImageMagick, and the icons do not
# change from one machine's ImageMagick to the next.
set -euo pipefail
cd "$(dirname "$0")/.."
for size in 16 32 48 64 128 256; do
    mkdir -p "packaging/icons/${size}x${size}"
    # -strip drops the time stamps ImageMagick would write into the file.
    convert resources/images/app.png -resize "${size}x${size}" -strip \
        "packaging/icons/${size}x${size}/zendral.png"
done
