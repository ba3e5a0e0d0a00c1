#!/usr/bin/env bash
# Usage: bench/update_vs_curl_tar.sh [BUILD_DIR] [RUNS] [SIZE_MIB]
# The whole update of SIZE_MIB MiB (default 512, in 64 files of random bytes)
# from a local nginx on a free 127.0.0.1 port:
#   - `vt update` (download, extract, remove the archive) against `curl -o` of
#     an equivalent tar followed by `tar -xf`, RUNS rounds (default 5) alternating
#     which goes first: best and median wall time, their ratio (the target is 1.0
#     or below) and vt's peak memory as a multiple of the archive (below 2.2);
#   - the dialog (build/updater on the offscreen platform) doing the same update:
#     its peak memory, and the CPU time it uses while it sits waiting with the
#     update complete (its zero-interval timer keeps calling the step function).
# Work files live in a temporary directory under /tmp, removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
. "$root/scripts/lib/nginx.sh"
update_bench_args "$@"
require_tools "$build/vt" "$build/updater" /usr/bin/time /usr/sbin/nginx "$(command -v curl)"

work=$(mktemp -d /tmp/bench-update.XXXXXX)
dialog_pid=
cleanup() {
    [ -n "$dialog_pid" ] && kill "$dialog_pid" 2>/dev/null || true
    stop_nginx_and_clean
}
trap cleanup EXIT

mkdir -p "$work/a" "$work/b" "$work/c"
make_update "$work" "$size_mib" "$build/vt"
tar -cf "$work/www/update.tar" -C "$work/tree" .
rm -rf "$work/tree"
archive_kib=$(( $(stat -c %s "$work/www/update.vt") / 1024 ))
nginx_start "$work/nginx" "$work/www"
base="http://127.0.0.1:$NGINX_PORT"
# Both archives come from the page cache, as they would from a warm server.
cat "$work/www/update.vt" "$work/www/update.tar" >/dev/null

run_vt() {
    rm -rf "$work/a" && mkdir "$work/a" && sync
    measure "$work/time-vt.txt" "$build/vt" update "$base/" -C "$work/a"
    [ -f "$work/a/data/part00.bin" ] && [ ! -e "$work/a/update.vt" ] || { echo "vt update left no tree" >&2; exit 1; }
}
run_curl_tar() {
    rm -rf "$work/b" && mkdir "$work/b" && sync
    measure "$work/time-curl.txt" bash -c \
        'curl -s -f -o "$1/update.tar" "$2/update.tar" && tar -xf "$1/update.tar" -C "$1" && rm "$1/update.tar"' \
        _ "$work/b" "$base"
}

printf '%-6s %10s %14s %7s %12s\n' round "vt s" "curl+tar s" ratio "vt peak KiB"
vt_times="" ct_times="" vt_peak=0
for r in $(seq "$runs"); do
    pair_round "$r" run_vt run_curl_tar
    read -r vs vk <<<"$FIRST"
    read -r cs _ <<<"$SECOND"
    vt_times="$vt_times $vs" ct_times="$ct_times $cs"
    [ "$vk" -gt "$vt_peak" ] && vt_peak=$vk
    printf '%-6s %10s %14s %7s %12s\n' "$r" "$vs" "$cs" "$(ratio "$vs" "$cs")" "$vk"
done
diff -r -x log.txt "$work/a" "$work/b" >/dev/null || { echo "vt and tar extracted different trees" >&2; exit 1; }
vt_best=$(echo "$vt_times" | min_of) ct_best=$(echo "$ct_times" | min_of)
vt_med=$(echo "$vt_times" | median_of) ct_med=$(echo "$ct_times" | median_of)
echo
printf 'best:   vt update %s s, curl -o + tar -xf %s s, ratio %s\n' "$vt_best" "$ct_best" "$(ratio "$vt_best" "$ct_best")"
printf 'median: vt update %s s, curl -o + tar -xf %s s, ratio %s\n' "$vt_med" "$ct_med" "$(ratio "$vt_med" "$ct_med")"
printf 'vt update peak memory: %d KiB, %s x the %d KiB archive\n' "$vt_peak" "$(ratio "$vt_peak" "$archive_kib")" "$archive_kib"

# The dialog: the same update, then five seconds of waiting with it complete.
echo
cd "$work/c"
QT_QPA_PLATFORM=offscreen /usr/bin/time -v -o "$work/time-dialog.txt" \
    "$build/updater" "$base/" "" >/dev/null 2>&1 &
dialog_pid=$!
for _ in $(seq 1200); do
    [ -f data/part63.bin ] && [ ! -e update.vt ] && break
    sleep 0.1
done
[ ! -e update.vt ] && [ -f data/part63.bin ] || { echo "the dialog did not finish the update" >&2; exit 1; }
updater_pid=$(pgrep -P "$dialog_pid" -x updater)
ticks() { awk '{ print $14 + $15 }' "/proc/$updater_pid/stat"; }
hz=$(getconf CLK_TCK)
t0=$(ticks)
sleep 5
t1=$(ticks)
kill "$updater_pid"
wait "$dialog_pid" 2>/dev/null || true
dialog_pid=
read -r _ dialog_peak < <(time_report "$work/time-dialog.txt")
printf 'dialog peak memory: %d KiB, %s x the archive\n' "$dialog_peak" "$(ratio "$dialog_peak" "$archive_kib")"
printf 'dialog CPU while waiting: %s s of CPU in 5 s of wall time (%s%% of one core)\n' \
    "$(awk -v t=$((t1 - t0)) -v hz="$hz" 'BEGIN { printf "%.2f", t / hz }')" \
    "$(awk -v t=$((t1 - t0)) -v hz="$hz" 'BEGIN { printf "%.0f", 100 * t / hz / 5 }')"
