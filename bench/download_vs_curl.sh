#!/usr/bin/env bash
# Usage: bench/download_vs_curl.sh [BENCH_DOWNLOAD_BINARY] [RUNS] [SIZE_MIB]
# Downloads a file of SIZE_MIB MiB (default 512) of random bytes from a local
# nginx on a free 127.0.0.1 port, into a file, with the updater's FileGrabber
# (bench_download) and with `curl -o`, side by side, RUNS rounds (default 15)
# alternating which goes first. Prints each round's wall time and peak resident
# memory (/usr/bin/time -v), then the best, median and worst times with their
# ratios (grabber / curl; targets: median 1.0 or below, worst round 1.3 or
# below) and the grabber's peak memory as a multiple of the body (target: 1.1 or
# below). Work files live on tmpfs, in a temporary directory under $BENCH_TMP
# (default /dev/shm), removed at the end; the disk would otherwise dominate.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
grabber=$(realpath -m "${1:-$root/build/bench_download}")
runs=${2:-15}
size_mib=${3:-512}
[ -x "$grabber" ] || { echo "no bench_download at $grabber (configure with -DUPDATER_BENCH=ON and build it)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (package time)" >&2; exit 2; }
command -v curl >/dev/null || { echo "curl is missing" >&2; exit 2; }
[ -x /usr/sbin/nginx ] || { echo "nginx is missing" >&2; exit 2; }

# shellcheck source=../scripts/lib/nginx.sh
. "$root/scripts/lib/nginx.sh"

work=$(mktemp -d "${BENCH_TMP:-/dev/shm}/bench-download.XXXXXX")
trap stop_nginx_and_clean EXIT

mkdir -p "$work/www"
echo "writing ${size_mib} MiB of random bytes ..." >&2
head -c "${size_mib}M" /dev/urandom >"$work/www/update.vt"

nginx_start "$work" "$work/www"
url="http://127.0.0.1:$NGINX_PORT/update.vt"
# Warm the page cache, so that both read the file from memory.
cat "$work/www/update.vt" >/dev/null


run_grabber() {
    rm -f "$work/out-grabber.vt"
    sync
    measure "$work/time.txt" "$grabber" "$url" "$work/out-grabber.vt"
}
run_curl() {
    rm -f "$work/out-curl.vt"
    sync
    measure "$work/time.txt" curl -s -f -o "$work/out-curl.vt" "$url"
}


printf '%-6s %10s %10s %7s %16s %14s\n' round "grabber s" "curl s" ratio "grabber peak KiB" "curl peak KiB"
g_times="" c_times="" g_peak=0 c_peak=0 worst=0
for r in $(seq "$runs"); do
    pair_round "$r" run_grabber run_curl
    read -r gs gk <<<"$FIRST"
    read -r cs ck <<<"$SECOND"
    cmp -s "$work/www/update.vt" "$work/out-grabber.vt" || { echo "grabber's file differs" >&2; exit 1; }
    cmp -s "$work/www/update.vt" "$work/out-curl.vt" || { echo "curl's file differs" >&2; exit 1; }
    g_times="$g_times $gs" c_times="$c_times $cs"
    worst=$(printf '%s\n%s\n' "$worst" "$(ratio "$gs" "$cs")" | sort -g | tail -n 1)
    [ "$gk" -gt "$g_peak" ] && g_peak=$gk
    [ "$ck" -gt "$c_peak" ] && c_peak=$ck
    printf '%-6s %10s %10s %7s %16s %14s\n' "$r" "$gs" "$cs" \
        "$(ratio "$gs" "$cs")" "$gk" "$ck"
done

g_best=$(echo "$g_times" | min_of) c_best=$(echo "$c_times" | min_of)
g_med=$(echo "$g_times" | median_of) c_med=$(echo "$c_times" | median_of)
body_kib=$((size_mib * 1024))
echo
printf 'best:   grabber %s s, curl %s s, ratio %s\n' "$g_best" "$c_best" \
    "$(ratio "$g_best" "$c_best")"
printf 'median: grabber %s s, curl %s s, ratio %s\n' "$g_med" "$c_med" \
    "$(ratio "$g_med" "$c_med")"
printf 'worst round: ratio %s\n' "$worst"
printf 'peak memory: grabber %d KiB (%s x the %d MiB body), curl %d KiB\n' "$g_peak" \
    "$(ratio "$g_peak" "$body_kib")" "$size_mib" "$c_peak"
