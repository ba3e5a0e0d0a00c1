#!/usr/bin/env bash
# The updater's main job on a built-in example, signed as a publisher signs it:
# packs examples/demo-update/ into update.vt, signs it with a throw-away minisign
# key, serves them from nginx on a free loopback port, and runs the updater
# against it in a fresh game folder, with a small script standing in for the
# game. The updater runs from a folder of its own with the public key,
# update.pub, beside it: that is what asks it to check the signature.
#
# With a display you see the window and press Play yourself; without one (or
# with DEMO_HEADLESS=1, or --screenshot) it runs on Xvfb, a screenshot is taken
# and Play is pressed for you.
#
# The checkout is left as it was: the build goes to build-demo/ (ignored by
# git); the game folder and the screenshot go to a new folder under /tmp, which
# is kept and named at the end.
#
#   scripts/demo.sh [--screenshot FILE]     FILE: where to save the screenshot
set -euo pipefail

usage() {
    echo "usage: $0 [--screenshot FILE]" >&2
    exit 2
}
screenshot=
asked=
while [ $# -gt 0 ]; do
    case $1 in
        --screenshot)
            [ $# -ge 2 ] || usage
            screenshot=$(realpath -m -- "$2")
            asked=1
            shift 2
            ;;
        *) usage ;;
    esac
done

cd "$(dirname "$0")/.."
root=$PWD
. scripts/lib/nginx.sh

keep=$(mktemp -d /tmp/updater-demo.XXXXXX)
scratch=$(mktemp -d /tmp/updater-demo-work.XXXXXX)
[ -n "$screenshot" ] || screenshot=$keep/screenshot.png
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT

# Prints the file's lines, indented, after a heading, and fails.
fail_with() {
    echo "demo: $1" >&2
    shift
    for file in "$@"; do
        [ -s "$file" ] && sed 's/^/  /' "$file" >&2
    done
    [ -d "$keep/game" ] && echo "The game folder is kept in $keep/game." >&2
    exit 1
}

scripts/setup.sh demo
if ! { cmake -S . -B build-demo -G Ninja -DBUILD_TESTING=OFF &&
    cmake --build build-demo -j "$(nproc)" --target updater vt; } >"$scratch/build.log" 2>&1; then
    rm -rf "$keep"
    fail_with "the build failed:" "$scratch/build.log"
fi

# The publisher's side: pack, sign with a key made for this run only, serve.
mkdir -p "$scratch/www" "$scratch/key" "$scratch/bin" "$keep/game"
build-demo/vt pack examples/demo-update -o "$scratch/www/update.vt" --archive-version 1.4.2
minisign -G -W -p "$scratch/key/update.pub" -s "$scratch/key/update.key" >/dev/null
# The archive and its index (written by vt pack), each with its own signature.
minisign -S -s "$scratch/key/update.key" -m "$scratch/www/update.vt" "$scratch/www/update.vt.index" >/dev/null
# Slow enough to watch the bar move for a moment.
nginx_start "$scratch/nginx" "$scratch/www" "limit_rate 256k;"
pids+=("$NGINX_PID")

# The player's side: the updater with the public key beside it, and a game
# folder holding only the game's launcher script.
cp build-demo/updater "$scratch/key/update.pub" "$scratch/bin/"
cp examples/play-demo.sh "$keep/game/"
cd "$keep/game"
url="http://127.0.0.1:$NGINX_PORT/"
game="./play-demo.sh --from-updater"
updater=("$scratch/bin/updater" "$url" "$game")

if [ -n "${DISPLAY:-}" ] && [ -z "${DEMO_HEADLESS:-}" ] && [ -z "$asked" ]; then
    echo "Updating from $url in $keep/game; press Play when the update is complete."
    "${updater[@]}" >"$scratch/updater.out" 2>"$scratch/updater.err" || true
    screenshot=
else
    # Xvfb picks a free display and names it once it accepts clients.
    Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp -noreset 3>"$scratch/display" 2>/dev/null &
    pids+=($!)
    for _ in $(seq 100); do
        [ -s "$scratch/display" ] && break
        sleep 0.05
    done
    [ -s "$scratch/display" ] || fail_with "Xvfb did not start"
    export DISPLAY=":$(cat "$scratch/display")"
    QT_QPA_PLATFORM=xcb "${updater[@]}" >"$scratch/updater.out" 2>"$scratch/updater.err" &
    updater_pid=$!
    pids+=("$updater_pid")

    # The update is complete when the archive has been extracted and removed.
    for _ in $(seq 600); do
        [ -f VERSION ] && [ ! -e update.vt ] && break
        kill -0 "$updater_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -f VERSION ] && [ ! -e update.vt ] ||
        fail_with "the update did not complete; the log and the updater's output:" \
            log.txt "$scratch/updater.err"
    window=$(xdotool search --sync --name "Tovolia Updater" | head -n 1)
    sleep 0.5 # let the last paint land
    mkdir -p "$(dirname "$screenshot")"
    import -window "$window" "$screenshot"

    # Press Play: the button sits at (267, 203), 78 x 26, in the dialog.
    xdotool mousemove --window "$window" 306 216 mousedown 1 mouseup 1
    for _ in $(seq 300); do
        kill -0 "$updater_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$updater_pid" 2>/dev/null && fail_with "the updater did not quit after Play"
fi
for _ in $(seq 50); do
    [ -f game-output.txt ] && break
    sleep 0.1
done

echo "Served by nginx at $url:"
echo "  update.vt ($(stat -c %s "$scratch/www/update.vt") bytes): examples/demo-update, packed by vt"
echo "  update.vt.index ($(stat -c %s "$scratch/www/update.vt.index") bytes): its index, by vt pack"
echo "  update.vt.minisig, update.vt.index.minisig: their signatures, made with a throw-away key"
echo "The updater, run with that key's update.pub beside it, asked for:"
awk '{ print "  " $7 " (status " $9 ")" }' "$scratch/nginx/logs/access.log"
grep -q 'update.vt.minisig' "$scratch/nginx/logs/access.log" ||
    echo "  (not the signature: this updater does not check signatures)"
echo "Extracted into the game folder:"
find . -type f ! -name play-demo.sh ! -name game-output.txt ! -name log.txt | sort |
    sed 's|^\./|  |'
echo "The game said:"
sed 's/^/  /' game-output.txt 2>/dev/null || echo "  (nothing: the game was not started)"
if [ -s log.txt ]; then
    echo "log.txt:"
    sed 's/^/  /' log.txt
fi
echo "The game folder is $keep/game${screenshot:+; the screenshot is $screenshot}."
echo "They are kept: remove $keep when you are done."
