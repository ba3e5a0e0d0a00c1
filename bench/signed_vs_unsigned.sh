#!/usr/bin/env bash
# Usage: bench/signed_vs_unsigned.sh [BUILD_DIR] [RUNS] [SIZE_MIB]
# What signing costs: `vt update` of a SIZE_MIB MiB update (default 512, in 64
# files of random bytes) from a local nginx, signed (with -P and the signature
# fetched and checked) against unsigned, RUNS rounds (default 5) alternating
# which goes first: median and worst round and their ratio (the target is 1.15
# or below). A signed run hashes the archive as it arrives, on the transfer's
# thread, so what remains is that hashing where it cannot overlap the transfer,
# and the signature's own request. Then the check of a file on disk, as
# `vt verify` makes it: its peak memory on a 64 MiB and a SIZE_MIB MiB archive
# (it must not grow with the archive). Everything lives under /dev/shm,
# removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
. "$root/scripts/lib/nginx.sh"
update_bench_args "$@"
require_tools "$build/vt" /usr/bin/time /usr/sbin/nginx "$(command -v minisign)"
if [ -e "$build/update.pub" ]; then
    echo "$build/update.pub would put the unsigned runs in signed mode; move it away" >&2
    exit 2
fi

work=$(mktemp -d /dev/shm/bench-signed.XXXXXX)
trap stop_nginx_and_clean EXIT

mkdir -p "$work/signed" "$work/unsigned"
make_update "$work" "$size_mib" "$build/vt"
rm -rf "$work/tree"
minisign -G -W -p "$work/key.pub" -s "$work/key.sec" >/dev/null
minisign -S -s "$work/key.sec" -m "$work/www/update.vt" >/dev/null
key=$(tail -n 1 "$work/key.pub")
nginx_start "$work/nginx" "$work/www"
base="http://127.0.0.1:$NGINX_PORT/"

# Each run starts from an empty folder; update.stamp goes with it.
run_signed() {
    rm -rf "$work/signed" && mkdir "$work/signed"
    measure "$work/time-signed.txt" "$build/vt" update "$base" -C "$work/signed" -P "$key"
    [ -f "$work/signed/update.stamp" ] || { echo "the signed update was not applied" >&2; exit 1; }
}
run_unsigned() {
    rm -rf "$work/unsigned" && mkdir "$work/unsigned"
    measure "$work/time-unsigned.txt" "$build/vt" update "$base" -C "$work/unsigned"
    [ -f "$work/unsigned/data/part63.bin" ] || { echo "the unsigned update was not applied" >&2; exit 1; }
}

printf '%-6s %10s %12s %7s\n' round "signed s" "unsigned s" ratio
signed_times="" unsigned_times="" worst_ratio=0
for r in $(seq "$runs"); do
    pair_round "$r" run_signed run_unsigned
    read -r ss _ <<<"$FIRST"
    read -r us _ <<<"$SECOND"
    signed_times="$signed_times $ss" unsigned_times="$unsigned_times $us"
    rr=$(ratio "$ss" "$us")
    worst_ratio=$(awk -v a="$rr" -v b="$worst_ratio" 'BEGIN { print (a > b ? a : b) }')
    printf '%-6s %10s %12s %7s\n' "$r" "$ss" "$us" "$rr"
done
s_med=$(echo "$signed_times" | median_of) u_med=$(echo "$unsigned_times" | median_of)
s_worst=$(echo "$signed_times" | tr ' ' '\n' | sed '/^$/d' | sort -g | tail -n 1)
u_worst=$(echo "$unsigned_times" | tr ' ' '\n' | sed '/^$/d' | sort -g | tail -n 1)
echo
printf 'median: signed %s s, unsigned %s s, ratio %s\n' "$s_med" "$u_med" "$(ratio "$s_med" "$u_med")"
printf 'worst:  signed %s s, unsigned %s s; worst round ratio %s\n' "$s_worst" "$u_worst" "$worst_ratio"

# The check alone, straight through, on a small and the full archive.
head -c 64M /dev/urandom >"$work/small.vt"
minisign -S -s "$work/key.sec" -m "$work/small.vt" >/dev/null
read -r _ small_kib < <(measure "$work/time-small.txt" "$build/vt" verify "$work/small.vt" \
    -p "$work/key.pub")
read -r _ full_kib < <(measure "$work/time-full.txt" "$build/vt" verify "$work/www/update.vt" \
    -p "$work/key.pub")
echo
printf 'check peak memory: %d KiB on 64 MiB, %d KiB on %d MiB\n' "$small_kib" "$full_kib" "$size_mib"
