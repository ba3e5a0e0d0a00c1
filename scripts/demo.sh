#!/usr/bin/env bash
# The updater's main job on a built-in example: packs examples/demo-update/ into
# update.vt, serves it from nginx on a free loopback port, and runs build/updater
# against it in a fresh directory, with a small script standing in for the game.
# With a display you see the real window and press Play yourself; without one the
# dialog runs on Xvfb, a screenshot is saved as demo-screenshot.png and Play is
# pressed for you.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib/nginx.sh

scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target updater vt

work=$(mktemp -d /tmp/updater-demo.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# The server: nginx with a configuration of its own, on a free port.
mkdir -p "$work/www" "$work/nginx" "$work/game"
build/vt pack examples/demo-update -o "$work/www/update.vt" --version 1.4.2
# Slow enough to watch the bar move for a moment.
nginx_start "$work/nginx" "$work/www" "limit_rate 256k;"
pids+=("$NGINX_PID")

# The game directory starts with the demo game's launcher script only.
cp examples/play-demo.sh "$work/game/"
cd "$work/game"
url="http://127.0.0.1:$NGINX_PORT/"
game="./play-demo.sh --from-updater"

if [ -n "${DISPLAY:-}" ] && [ -z "${DEMO_HEADLESS:-}" ]; then
    echo "Updating from $url in $work/game; press Play when the update is complete."
    "$root/build/updater" "$url" "$game" >"$work/updater.out" 2>"$work/updater.err" || true
else
    # Xvfb picks a free display and names it once it accepts clients.
    Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do
        [ -s "$work/display" ] && break
        sleep 0.05
    done
    export DISPLAY=":$(cat "$work/display")"
    QT_QPA_PLATFORM=xcb "$root/build/updater" "$url" "$game" >"$work/updater.out" 2>"$work/updater.err" &
    updater=$!
    pids+=($updater)

    # The update is complete when the archive has been extracted and removed.
    for _ in $(seq 600); do
        [ -f VERSION ] && [ ! -e update.vt ] && break
        sleep 0.1
    done
    window=$(xdotool search --sync --name "Tovolia Updater" | head -n 1)
    sleep 0.5 # let the last paint land
    import -window "$window" "$root/demo-screenshot.png"
    echo "Screenshot of the finished update: demo-screenshot.png"

    # Press Play: the button sits at (267, 203), 78 x 26, in the dialog.
    xdotool mousemove --window "$window" 306 216 mousedown 1 mouseup 1
    wait "$updater" && status=0 || status=$?
    echo "updater exited with status $status"
fi

echo
echo "The game directory $work/game now holds:"
find . -path ./update.vt -prune -o -type f -print | sort | sed 's/^/  /'
echo
echo "The game said:"
for _ in $(seq 50); do
    [ -f game-output.txt ] && break
    sleep 0.1
done
sed 's/^/  /' game-output.txt 2>/dev/null || echo "  (nothing: the game was not started)"
echo
echo "log.txt has $(wc -l <log.txt) entries."
