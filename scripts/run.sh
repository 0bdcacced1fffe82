#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/build.sh" >&2
tool="${BUILD_DIR:-build}/app/zunVidStreamTool"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "No display found: start it under an X server, for example 'xvfb-run -a $0'," >&2
    echo "or run '$tool -platform offscreen' to start it without showing anything." >&2
    exit 1
fi
exec "$tool" "$@"
