#!/bin/sh
# Installs Quarin into a temporary prefix and checks the tree a desktop sees, starts it there
# the way the menu does, then builds the Debian package and checks it as Debian would.
# Usage: install_test.sh <build dir> <version> <cmake> <cpack>
set -eu
build=$1
version=$2
cmake=$3
cpack=$4
id=org.quarin.Quarin
title='Generic Modbus/Jbus Quarin'

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in desktop-file-validate appstreamcli dpkg-deb dpkg-shlibdeps lintian; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
done

work=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' HUP INT TERM

# --- the installed tree -----------------------------------------------------------------------
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" >/dev/null
share=$prefix/share
[ -x "$prefix/bin/quarin" ] || fail "bin/quarin is not installed"
[ -x "$prefix/bin/quarin-launch" ] || fail "bin/quarin-launch is not installed"

desktop=$share/applications/$id.desktop
metainfo=$share/metainfo/$id.metainfo.xml
desktop-file-validate "$desktop" || fail "desktop-file-validate refuses $desktop"
appstreamcli validate --no-net "$metainfo" >/dev/null ||
    fail "appstreamcli refuses $metainfo: $(appstreamcli validate --no-net "$metainfo" 2>&1)"

key() { sed -n "s/^$1=//p" "$desktop"; }
# The program takes no arguments, and a field code would hand it some.
[ "$(key Exec)" = quarin-launch ] || fail "Exec is '$(key Exec)', not quarin-launch alone"
[ -x "$prefix/bin/$(key TryExec)" ] || fail "TryExec names no installed program"
[ "$(key Categories)" = 'Development;Electronics;Engineering;' ] || fail "Categories"
[ "$(key Icon)" = "$id" ] || fail "Icon is not the application id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
    fail "the metainfo does not launch $id.desktop"
first_release=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$metainfo" | head -n 1)
[ "$first_release" = "$version" ] || fail "the metainfo's newest release is $first_release"

hicolor=$share/icons/hicolor
[ -s "$hicolor/scalable/apps/$id.svg" ] || fail "no scalable icon"
for size in 16 22 24 32 48 64 128 256; do
    png=$hicolor/${size}x$size/apps/$id.png
    [ -s "$png" ] || fail "no ${size}x$size icon"
    # Width and height, big-endian, in the IHDR chunk right after the signature.
    # shellcheck disable=SC2046
    set -- $(od -An -tu1 -j16 -N8 "$png")
    width=$(($1 * 16777216 + $2 * 65536 + $3 * 256 + $4))
    height=$(($5 * 16777216 + $6 * 65536 + $7 * 256 + $8))
    if [ "$width" != "$size" ] || [ "$height" != "$size" ]; then
        fail "the ${size}x$size icon is ${width}x$height"
    fi
done

for page in quarin quarin-launch; do
    gzip -t "$share/man/man1/$page.1.gz" || fail "man page $page.1.gz"
done
gzip -dc "$share/doc/quarin/changelog.gz" | head -n 1 | grep -q "^quarin ($version)" ||
    fail "the changelog's newest entry is not $version"

# --- started as the desktop menu starts it ----------------------------------------------------
# No command line to ask with: Qt's accessibility log names the window once it is shown.
home=$work/home
mkdir -p "$home"
log=$work/quarin.err
(cd "$home" && HOME=$home QT_QPA_PLATFORM=offscreen \
    QT_LOGGING_RULES='qt.accessibility.cache.debug=true' \
    exec "$prefix/bin/quarin-launch") >/dev/null 2>"$log" &
pid=$!
shown=
for _ in $(seq 300); do
    if grep "name=\"$title\" role=Dialog" "$log" | grep -qv invisible; then
        shown=yes
        break
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
[ -n "$shown" ] || fail "no window titled '$title' within 30 s: $(tail -n 5 "$log")"
[ "$(readlink "/proc/$pid/exe")" = "$prefix/bin/quarin" ] || fail "the launcher did not exec quarin"
[ "$(readlink "/proc/$pid/cwd")" = "$home/Quarin" ] || fail "Quarin does not work in ~/Quarin"
sleep 1
kill -0 "$pid" 2>/dev/null || fail "Quarin ended on its own: $(tail -n 5 "$log")"
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=

# --- the Debian package -----------------------------------------------------------------------
"$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/cpack.out" 2>&1 ||
    fail "cpack: $(cat "$work/cpack.out")"
arch=$(dpkg --print-architecture)
deb=$work/deb/quarin_${version}_$arch.deb
[ -f "$deb" ] || fail "no $(basename "$deb"): $(ls "$work/deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quarin ] || fail "Package"
[ "$(field Version)" = "$version" ] || fail "Version is $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture"
[ "$(field Section)" = electronics ] || fail "Section"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Installed-Size)" ] || fail "no Installed-Size"
# Computed from the binary by dpkg-shlibdeps, with versions.
depends=$(field Depends)
for library in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
    case ", $depends" in
    *", $library (>= "*) ;;
    *) fail "Depends lacks $library: $depends" ;;
    esac
done
dpkg-deb -I "$deb" | grep -q '^ Description: Modbus and Jbus master test console$' ||
    fail "Description"

dpkg-deb -c "$deb" >"$work/contents"
awk '$2 != "root/root" { print; bad = 1 } END { exit bad }' "$work/contents" ||
    fail "files not owned by root"
# Exactly these files and links: anything else is a stray install rule.
awk '$1 !~ /^d/ { print $6 }' "$work/contents" | sort >"$work/files"
sort >"$work/expected" <<EOF
./usr/bin/quarin
./usr/bin/quarin-launch
./usr/share/applications/$id.desktop
./usr/share/doc/quarin/changelog.gz
./usr/share/doc/quarin/copyright
./usr/share/icons/hicolor/128x128/apps/$id.png
./usr/share/icons/hicolor/16x16/apps/$id.png
./usr/share/icons/hicolor/22x22/apps/$id.png
./usr/share/icons/hicolor/24x24/apps/$id.png
./usr/share/icons/hicolor/256x256/apps/$id.png
./usr/share/icons/hicolor/32x32/apps/$id.png
./usr/share/icons/hicolor/48x48/apps/$id.png
./usr/share/icons/hicolor/64x64/apps/$id.png
./usr/share/icons/hicolor/scalable/apps/$id.svg
./usr/share/lintian/overrides/quarin
./usr/share/man/man1/quarin-launch.1.gz
./usr/share/man/man1/quarin.1.gz
./usr/share/metainfo/$id.metainfo.xml
EOF
diff -u "$work/expected" "$work/files" >&2 || fail "the package's file list differs"
grep -q '^-rwxr-xr-x .* \./usr/bin/quarin$' "$work/contents" || fail "mode of quarin"
grep -q '^-rwxr-xr-x .* \./usr/bin/quarin-launch$' "$work/contents" || fail "mode of the launcher"

# Lintian prints every tag; only an error fails the test.
lintian --fail-on error --display-info "$deb" >"$work/lintian.out" 2>&1 ||
    fail "lintian: $(cat "$work/lintian.out")"
cat "$work/lintian.out"
echo "install tree, start and package checked: $(basename "$deb")"
