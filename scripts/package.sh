#!/usr/bin/env bash
# Makes the Debian packages and checks them as a user gets them: lintian finds no error and no
# warning; each unpacked with dpkg -x into a fresh root holds what it should, zunstream answers
# and carries a stream without any desktop library, the window starts offscreen and stays up,
# and the examples build against the -dev package (with the library package) alone.
set -euo pipefail
cd "$(dirname "$0")/.."
"$PWD/scripts/install-deps.sh"
"$PWD/scripts/build.sh"
build=$(realpath "${BUILD_DIR:-build}")
work=$(mktemp -d)
tool=""
cleanup() {
    [ -z "$tool" ] || kill "$tool" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "$*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
lib=libzunvidstreamlib2-1 dev=libzunvidstreamlib2-dev
declare -A root
for package in $lib $dev zunstream zunvidstreamtool; do
    deb=$(ls "$work"/out/"${package}"_*.deb)
    echo "--- $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
    root[$package]=$work/root/$package
    mkdir -p "${root[$package]}"
    dpkg -x "$deb" "${root[$package]}"
    version=$(dpkg-deb -f "$deb" Version)
    newest=$(zcat "${root[$package]}/usr/share/doc/$package/changelog.Debian.gz" | head -n 1)
    [[ $newest == *"($version)"* ]] ||
        fail "$package $version: the changelog's newest entry is $newest (cmake/debian/changelog)"
done
echo "--- lintian (fails on an error or a warning; info tags are named in the README)"
lintian --fail-on error,warning --display-info --tag-display-limit 0 "$work"/out/*.deb \
    2> >(grep -v "root privileges" >&2)

# Each package holds its own part and nothing of another's.
holds() { [ -n "$(find "${root[$1]}" -path "${root[$1]}/$2")" ] || fail "$1 lacks $2"; }
lacks() { [ -z "$(find "${root[$1]}" -path "${root[$1]}/$2")" ] || fail "$1 holds $2"; }
holds $lib 'usr/lib/*-*/libzunVidStreamLib2.so.1'
lacks $lib 'usr/include*'
lacks $lib 'usr/lib/*/libzunVidStreamLib2.so'
holds $dev 'usr/lib/*-*/libzunVidStreamLib2.so'
holds $dev 'usr/include/zunVidStreamLib2.h'
holds $dev 'usr/lib/*-*/pkgconfig/zunVidStreamLib2.pc'
holds $dev 'usr/lib/*-*/cmake/zunVidStreamLib2/zunVidStreamLib2Config.cmake'
lacks $dev 'usr/lib/*/libzunVidStreamLib2.so.1*'
holds zunstream usr/share/man/man1/zunstream.1.gz
holds zunstream usr/lib/systemd/system/zunstream-serve.service
lacks zunstream usr/bin/zunVidStreamTool
holds zunvidstreamtool usr/share/man/man1/zunVidStreamTool.1.gz
lacks zunvidstreamtool usr/bin/zunstream
desktop-file-validate "${root[zunvidstreamtool]}/usr/share/applications/zunVidStreamTool.desktop"
test -s "${root[zunvidstreamtool]}/usr/share/icons/hicolor/scalable/apps/zunVidStreamTool.svg"

export LD_LIBRARY_PATH
LD_LIBRARY_PATH=$(dirname "$(find "${root[$lib]}" -name 'libzunVidStreamLib2.so.1')")
zunstream=${root[zunstream]}/usr/bin/zunstream
window=${root[zunvidstreamtool]}/usr/bin/zunVidStreamTool
# Only the packaged library may serve the packaged programs.
if ldd "$zunstream" "$window" | grep zunVidStreamLib2 | grep -v "$work"; then
    fail "the packaged programs do not use the packaged library"
fi
if ldd "$zunstream" | grep -E 'libQt6(Gui|Widgets)'; then
    fail "zunstream needs desktop libraries"
fi
echo "--- zunstream needs: $(readelf -d "$zunstream" | sed -n 's/.*(NEEDED).*\[\(libQt6[^]]*\)\]/\1/p' | xargs)"
"$zunstream" --version
"$zunstream" check --protocol memory --port 23590 --seconds 1 --fps 10 >/dev/null
echo "--- zunstream check over memory passed"
XDG_CONFIG_HOME=$work/config "$window" -platform offscreen &
tool=$!
sleep 2
kill -0 "$tool" || fail "the packaged window did not stay up"
kill "$tool"
wait "$tool" 2>/dev/null || true
tool=""
echo "--- the packaged window started offscreen and stayed up"

# The development package and the library package, unpacked together as they install.
sdk=$work/sdk
dpkg -x "$(ls "$work"/out/${dev}_*.deb)" "$sdk"
dpkg -x "$(ls "$work"/out/${lib}_*.deb)" "$sdk"
"$PWD/scripts/build-examples.sh" "$sdk/usr" "$work/examples"
echo "--- both examples build against the -dev package, with pkg-config and with find_package"
