#!/usr/bin/env bash
# Starts the real program under a virtual X display in a temporary program folder, waits for
# its main window, takes a screenshot, closes it through File > Exit and checks that it left a
# settings file behind; then starts it again and ends it with SIGTERM, as a session ending
# does, which must close it the same orderly way.
# Usage: gui_smoke.sh PATH_TO_CORVID SCREENSHOT.png
set -euo pipefail
fail() { echo "gui_smoke: $*" >&2; exit 1; }

if [ -z "${CORVID_SMOKE_INNER:-}" ]; then
    for tool in xvfb-run xdotool import; do
        command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps installs it)"
    done
    # Bounded, so that a display that never comes up fails the test instead of hanging it;
    # -noreset: the server must not restart between the two runs of the program.
    CORVID_SMOKE_INNER=1 exec timeout 100 xvfb-run -a -s "-screen 0 1024x768x24 -noreset" "$0" "$@"
fi
export QT_QPA_PLATFORM=xcb # the real window system, whatever the caller asks for
folder=$(mktemp -d)
pid=""
# A program left running here failed the test already; it must not outlive it.
trap '[ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true; rm -rf "$folder"' EXIT
# The program keeps its settings beside itself, so it runs from a copy in the folder.
cp "$1" "$folder/corvid"

# Waits up to 10 s for the command to succeed.
within_10s() { for _ in $(seq 100); do "$@" && return 0; sleep 0.1; done; return 1; }
window_shown() {
    window=$(xdotool search --name '^Brisa Infineon Flash Programmer$' 2>/dev/null | head -n 1) &&
        [ -n "$window" ]
}
start_and_wait_for_window() {
    "$folder/corvid" &
    pid=$!
    within_10s window_shown || fail "the window \"Brisa Infineon Flash Programmer\" did not appear"
}
gone() { ! kill -0 "$pid" 2>/dev/null; }
wait_for_exit() {
    within_10s gone || fail "$1 did not close the program"
    wait "$pid" || fail "the program exited with an error after $1"
    pid=""
    grep -q '^\[CONFIGURATION\]' "$folder/Corvid.ini" 2>/dev/null ||
        fail "no settings file was left behind after $1"
}

start_and_wait_for_window
sleep 0.5
import -window root "$2"
echo "gui_smoke: screenshot in $2"
# File is the first title on the menu bar; the open menu takes the keyboard, and x is Exit's
# access key. On a busy machine the menu may open late, so the pick is tried a few times.
eval "$(xdotool getwindowgeometry --shell "$window")"
for _ in 1 2 3; do
    xdotool mousemove $((X + 20)) $((Y + 10)) click 1
    sleep 1
    xdotool key x
    for _ in $(seq 50); do gone && break; sleep 0.1; done
    gone && break
done
wait_for_exit "File > Exit"

rm "$folder/Corvid.ini"
start_and_wait_for_window
kill -TERM "$pid"
wait_for_exit "SIGTERM"
echo "gui_smoke: passed"
