#!/usr/bin/env bash
# Starts the real program under a virtual X display in a temporary program folder, waits for
# its main window, takes a screenshot, closes it through File > Exit and checks that it left a
# settings file behind; then starts it again and ends it with SIGTERM, as a session ending
# does, which must close it the same orderly way.
# Usage: gui_smoke.sh PATH_TO_CORVID SCREENSHOT.png
set -euo pipefail

corvid=$1
screenshot=$2

if [ -z "${CORVID_SMOKE_INNER:-}" ]; then
    for tool in xvfb-run xdotool import; do
        if ! command -v "$tool" >/dev/null; then
            echo "gui_smoke: $tool is missing (scripts/install-deps installs it)" >&2
            exit 1
        fi
    done
    export CORVID_SMOKE_INNER=1
    # Bounded, so that a virtual display that never comes up fails the test instead of
    # hanging it.
    # -noreset: the server must not restart between the two runs of the program.
    exec timeout 100 xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi

# The real window system, whatever the caller's environment asks for.
export QT_QPA_PLATFORM=xcb

folder=$(mktemp -d)
pid=""
cleanup() {
    # A program left running here failed the test already; it must not outlive it.
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null || true
    rm -rf "$folder"
}
trap cleanup EXIT

# The program keeps its settings beside itself, so it runs from a copy in the folder.
cp "$corvid" "$folder/corvid"

start_and_wait_for_window() {
    "$folder/corvid" &
    pid=$!
    window=""
    for _ in $(seq 100); do
        window=$(xdotool search --name '^Brisa Infineon Flash Programmer$' 2>/dev/null | head -n 1 || true)
        [ -n "$window" ] && return 0
        sleep 0.1
    done
    echo "gui_smoke: the window \"Brisa Infineon Flash Programmer\" did not appear" >&2
    exit 1
}

wait_for_exit() {
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "gui_smoke: $1 did not close the program" >&2
        exit 1
    fi
    wait "$pid" || { echo "gui_smoke: the program exited with an error after $1" >&2; exit 1; }
    pid=""
    if ! grep -q '^\[CONFIGURATION\]' "$folder/Corvid.ini" 2>/dev/null; then
        echo "gui_smoke: no settings file was left behind after $1" >&2
        exit 1
    fi
}

start_and_wait_for_window
sleep 0.5
import -window root "$screenshot"
echo "gui_smoke: screenshot in $screenshot"

# File is the first title on the menu bar; the open menu takes the keyboard, and x is Exit's
# access key. On a busy machine the menu may open late, so the pick is tried a few times.
eval "$(xdotool getwindowgeometry --shell "$window")"
for _ in 1 2 3; do
    xdotool mousemove $((X + 20)) $((Y + 10)) click 1
    sleep 1
    xdotool key x
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null || break
done
wait_for_exit "File > Exit"

rm "$folder/Corvid.ini"
start_and_wait_for_window
kill -TERM "$pid"
wait_for_exit "SIGTERM"
echo "gui_smoke: passed"
