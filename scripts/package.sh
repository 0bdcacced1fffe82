#!/usr/bin/env bash
# Makes the Debian package, unpacks it with dpkg -x into an empty folder and checks that what it
# holds runs from there: the desktop entry validates, zunstream answers and carries a stream, and
# the window starts (offscreen) and stays up.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/build.sh"
build=$(realpath "${BUILD_DIR:-build}")
work=$(mktemp -d)
tool=""
cleanup() {
    [ -z "$tool" ] || kill "$tool" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/*.deb)
echo "--- $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
dpkg -x "$deb" "$work/root"
usr=$work/root/usr
desktop-file-validate "$usr/share/applications/zunVidStreamTool.desktop"
test -s "$usr/share/icons/hicolor/scalable/apps/zunVidStreamTool.svg"
test -s "$usr/share/man/man1/zunstream.1"
export LD_LIBRARY_PATH
LD_LIBRARY_PATH=$(dirname "$(find "$usr" -name 'libzunVidStreamLib2.so.1' | head -n 1)")
"$usr/bin/zunstream" --version
"$usr/bin/zunstream" send --help >/dev/null
# Only the packaged library may serve the packaged programs.
if ldd "$usr/bin/zunstream" "$usr/bin/zunVidStreamTool" | grep zunVidStreamLib2 | grep -v "$work"; then
    echo "the packaged programs do not use the packaged library" >&2
    exit 1
fi
"$usr/bin/zunstream" check --protocol memory --port 23590 --seconds 1 --fps 10 >/dev/null
echo "--- zunstream check over memory passed"
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=$work/config "$usr/bin/zunVidStreamTool" &
tool=$!
sleep 2
kill -0 "$tool" || { echo "the packaged window did not stay up" >&2; exit 1; }
kill "$tool"
wait "$tool" 2>/dev/null || true
tool=""
echo "--- the packaged window started offscreen and stayed up"
