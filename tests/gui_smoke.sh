#!/usr/bin/env bash
# gui_smoke.sh PATH_TO_CORVID SCREENSHOT.png: runs the real program under Xvfb from a temporary
# program folder and takes a screenshot; File > Exit, then SIGTERM as a session ending sends,
# must each close it in order and leave its settings file behind.
set -euo pipefail
fail() { echo "gui_smoke: $*" >&2; exit 1; }

if [ -z "${CORVID_SMOKE_INNER:-}" ]; then
    # Bounded, so a display that never comes up fails; -noreset keeps it up for both runs.
    CORVID_SMOKE_INNER=1 exec timeout 100 xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi
export QT_QPA_PLATFORM=xcb # the real window system, whatever the caller asks for
folder=$(mktemp -d)
trap '[ -z "${pid:-}" ] || kill -9 "$pid" 2>/dev/null || true; rm -rf "$folder"' EXIT
# The program keeps its settings beside itself, so it runs from a copy in the folder.
cp "$1" "$folder/corvid"

start() {
    "$folder/corvid" & pid=$!
    window=$(timeout 10 xdotool search --sync --name '^Brisa Infineon Flash Programmer$' | head -n 1) ||
        fail "the window \"Brisa Infineon Flash Programmer\" did not appear"
}
exited() { timeout 10 tail --pid="$pid" -s 0.1 -f /dev/null; } # within 10 s
closed_by() {
    exited || fail "$1 did not close the program"
    wait "$pid" || fail "the program exited with an error after $1"
    pid=""
    grep -q '^\[CONFIGURATION\]' "$folder/Corvid.ini" || fail "no settings file was left after $1"
}

start
sleep 0.5
import -window root "$2"
# File is the first menu title and x is Exit's access key; a busy machine may open the menu late.
for _ in 1 2 3; do
    xdotool mousemove --window "$window" 20 10 click 1 sleep 1 key x
    exited && break
done
closed_by "File > Exit"
rm "$folder/Corvid.ini"
start
kill -TERM "$pid"
closed_by "SIGTERM"
