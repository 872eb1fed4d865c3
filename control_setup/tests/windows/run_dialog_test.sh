#!/usr/bin/env bash
# Runs dialog_gui_test.exe under Wine on the X display already set in DISPLAY, and takes a screenshot of the
# dialog while it shows a successful Install.
# Usage: run_dialog_test.sh BUILD_DIR SCREENSHOT_PNG   (WINEPREFIX must name a prepared prefix)
set -euo pipefail
build=$1
screenshot=$2
wine=/usr/lib/wine/wine64

handshake=$(mktemp -d)
trap 'rm -rf "$handshake"' EXIT

"$wine" "$build/tools/dialog_gui_test.exe" "Z:${handshake//\//\\}" &
test_pid=$!

for _ in $(seq 1 600); do
  [ -e "$handshake/ready" ] && break
  kill -0 "$test_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -e "$handshake/ready" ]; then
  window=$(xwininfo -root -tree | awk '/"ControlSetup": \("controlsetup.exe"/ { print $1; exit }')
  if [ -n "$window" ] && import -window "$window" "$handshake/shot.png"; then
    mkdir -p "$(dirname "$screenshot")"
    # No timestamps in the file: the same dialog gives the same bytes.
    convert "$handshake/shot.png" -strip "$screenshot"
    shot_taken=1
  fi
fi
touch "$handshake/done"
status=0
wait "$test_pid" || status=$?
if [ -z "${shot_taken:-}" ]; then
  echo "run_dialog_test: no screenshot of the dialog was taken" >&2
  status=1
fi
exit "$status"
