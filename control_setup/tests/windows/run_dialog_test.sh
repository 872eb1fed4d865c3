#!/usr/bin/env bash
# Runs dialog_gui_test.exe under Wine on the X display already set in DISPLAY and serves its requests from
# outside Wine: a screenshot of the whole screen while the dialog shows a successful Install, and real mouse
# clicks (xdotool).
# Usage: run_dialog_test.sh BUILD_DIR SCREENSHOT_PNG   (WINEPREFIX must name a prepared prefix)
set -euo pipefail
build=$1
screenshot=$2
# A 32-bit program runs through Wine's 32-bit side, CONTROL_SETUP_WINE32 where the caller names one.
wine=/usr/lib/wine/wine64
case $(basename "$build") in i686) wine=${CONTROL_SETUP_WINE32:-$wine} ;; esac

helper=$(mktemp -d)
trap 'rm -rf "$helper"' EXIT

"$wine" "$build/tools/dialog_gui_test.exe" "Z:${helper//\//\\}" &
test_pid=$!

# A request is a file the test renames into place; the answer is "<request>.done".
while kill -0 "$test_pid" 2>/dev/null; do
  if [ -e "$helper/screenshot" ]; then
    rm "$helper/screenshot"
    # The whole screen, so that the picture shows where the dialog opened. No timestamps in the file: the same
    # screen gives the same bytes.
    if import -window root "$helper/shot.png" && mkdir -p "$(dirname "$screenshot")" &&
      convert "$helper/shot.png" -strip "$screenshot"; then
      shot_taken=1
    fi
    touch "$helper/screenshot.done"
  fi
  if [ -e "$helper/click" ]; then
    read -r x y <"$helper/click" || true  # a last line without newline still fills x and y
    rm "$helper/click"
    # No --sync: it waits for the pointer to leave where it was, 15 s in vain when it is there already. The
    # server handles the move before the click anyway, both coming over one connection.
    xdotool mousemove "$x" "$y" click 1 || echo "run_dialog_test: xdotool could not click at $x, $y" >&2
    touch "$helper/click.done"
  fi
  sleep 0.1
done
status=0
wait "$test_pid" || status=$?
if [ -z "${shot_taken:-}" ]; then
  echo "run_dialog_test: no screenshot of the dialog was taken" >&2
  status=1
fi
exit "$status"
