#!/usr/bin/env bash
# Takes a picture of the window for the README: Quarin under a virtual X server, fresh settings.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
"$top/scripts/install-deps.sh" extras
out="${1:-$top/docs/images/quarin-window.png}"
binary="$top/build/app/src/quarin"
[ -x "$binary" ] || { echo "build first: make build" >&2; exit 1; }
work="$(mktemp -d)"
display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1280x900x24 >/dev/null 2>&1 &
xvfb=$!
cleanup() { kill "$app" "$xvfb" 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
sleep 1
(cd "$work" && DISPLAY="$display" exec "$binary") &
app=$!
sleep 2
DISPLAY="$display" import -window root "$work/root.png"
# The dialog sits alone on the black root window: trim to it.
convert "$work/root.png" -trim +repage "$out"
echo "wrote $out"
