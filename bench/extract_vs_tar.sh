#!/usr/bin/env bash
# Usage: bench/extract_vs_tar.sh [VT_BINARY] [RUNS]
# Times `vt extract` against GNU `tar -xf` on the same content: (a) about 1 GiB in
# 64 files and (b) 20,000 files of 1 KiB in 100 directories. Prints the best wall
# time of RUNS rounds (default 5) for each, their ratio (vt / tar; the target is 1.0
# or below) and the peak resident memory from /usr/bin/time -v. Work files live in
# a temporary directory under /tmp (or $BENCH_TMP, e.g. /dev/shm to leave the disk
# out of the comparison) that is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
vt=$(realpath -m "${1:-$root/build/vt}")
runs=${2:-5}
[ -x "$vt" ] || { echo "no vt binary at $vt (build it first)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (package time)" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMP:-/tmp}/bench-vt.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "building content in $work ..." >&2
mkdir "$work/big" "$work/small"
for i in $(seq -w 0 63); do
    head -c 16M /dev/urandom >"$work/big/file$i.bin"
done
for d in $(seq -w 0 99); do
    mkdir "$work/small/dir$d"
    head -c 204800 /dev/urandom | split -b 1024 -a 3 -d - "$work/small/dir$d/file"
done


# One timed extraction into a fresh, empty directory: "seconds peak_kib".
timed_run() {
    rm -rf "$work/dest" && mkdir "$work/dest"
    sync
    measure "$work/time.txt" "$@"
}


printf '%-22s %-6s %9s %9s %7s %12s %12s\n' case "" "vt s" "tar s" ratio "vt peak KiB" "tar peak KiB"
for name in big small; do
    "$vt" pack "$work/$name" -o "$work/$name.vt"
    tar -cf "$work/$name.tar" -C "$work/$name" .
    # Rounds alternate which tool goes first, so that writeback and inode
    # housekeeping left by one run weigh on both alike.
    vt_times="" tar_times="" vt_kib=0 tar_kib=0
    for round in $(seq "$runs"); do
        for tool in vt tar; do
            if [ $((round % 2)) -eq 0 ]; then
                tool=$([ "$tool" = vt ] && echo tar || echo vt)
            fi
            if [ "$tool" = vt ]; then
                read -r s kib < <(timed_run "$vt" extract "$work/$name.vt" -C "$work/dest")
                vt_times="$vt_times $s"
                [ "$kib" -gt "$vt_kib" ] && vt_kib=$kib
                rm -rf "$work/dest-vt" && mv "$work/dest" "$work/dest-vt"
            else
                read -r s kib < <(timed_run tar -xf "$work/$name.tar" -C "$work/dest")
                tar_times="$tar_times $s"
                [ "$kib" -gt "$tar_kib" ] && tar_kib=$kib
                rm -rf "$work/dest-tar" && mv "$work/dest" "$work/dest-tar"
            fi
        done
    done
    # Same result as tar, so both did the same work.
    diff -r "$work/dest-vt" "$work/dest-tar" >/dev/null || { echo "vt and tar trees differ" >&2; exit 1; }
    rm -rf "$work/dest-vt" "$work/dest-tar"
    vt_s=$(echo $vt_times | min_of) tar_s=$(echo $tar_times | min_of)
    vt_med=$(echo $vt_times | median_of) tar_med=$(echo $tar_times | median_of)
    case $name in
        big) label="1 GiB in 64 files" ;;
        small) label="20000 files of 1 KiB" ;;
    esac
    printf '%-22s %-6s %9s %9s %7s %12s %12s\n' "$label" best "$vt_s" "$tar_s" \
        "$(ratio "$vt_s" "$tar_s")" "$vt_kib" "$tar_kib"
    printf '%-22s %-6s %9s %9s %7s\n' "" median "$vt_med" "$tar_med" "$(ratio "$vt_med" "$tar_med")"
    rm -f "$work/$name.vt" "$work/$name.tar"
    rm -rf "$work/$name" "$work/dest"
done
