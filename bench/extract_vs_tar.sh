#!/usr/bin/env bash
# Usage: bench/extract_vs_tar.sh [VT_BINARY] [ROUNDS]
# Times `vt extract` (all or nothing: staged, flushed, then renamed into place)
# against GNU `tar -xf` on the same content, rounds interleaved (ROUNDS, default
# 9, alternate which tool goes first); each row prints the medians, the median
# and worst round of the ratio vt / tar, and the peak resident memory of each.
#
# 1. On tmpfs ($BENCH_TMP, default /dev/shm), where the disk stays out of it:
#    (a) 1 GiB in 64 files, (b) 20,000 files of 1 KiB in 100 directories, (b')
#    the same over an existing copy, so that every file is replaced, (c) 2,000
#    files in a tree 1,000 levels deep. Targets: median 1.0 or below for (a)
#    and (b), 2.0 for (c).
# 2. On the real disk ($BENCH_DISK, default /var/tmp; not tmpfs), against
#    `tar -xf` followed by `sync`, for (a) with $DISK_MIB MiB (default 1024) and
#    (b): target 1.2 or below. Beside the default durability (one syncfs before
#    the commit, one after), "durability": the same with one fdatasync per file
#    (VT_DURABILITY=fdatasync) and with none (VT_DURABILITY=off, measurement
#    only), as ratios to tar + sync.
# 3. "commit": the commit's own time for 20,000 files (from the end of staging,
#    where vt is stopped with VT_TEST_STOP=staged, to its exit), with and
#    without durability, on tmpfs and on the disk.
# Last, the memory per pending file: the peak of (b) less that of an empty
# archive, over 20,000. Work files are removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
vt=$(realpath -m "${1:-$root/build/vt}")
rounds=${2:-9}
disk_mib=${DISK_MIB:-1024}
[ -x "$vt" ] || { echo "no vt binary at $vt (build it first)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (package time)" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMP:-/dev/shm}/bench-vt.XXXXXX")
disk=$(mktemp -d "${BENCH_DISK:-/var/tmp}/bench-vt.XXXXXX")
trap 'rm -rf "$work" "$disk"' EXIT
if [ "$(stat -f -c %T "$disk")" = tmpfs ]; then
    echo "$disk is on tmpfs; set BENCH_DISK to a directory on a disk" >&2
    exit 2
fi

echo "building content in $work ..." >&2
mkdir "$work/big" "$work/small" "$work/deep" "$work/diskbig"
for i in $(seq -w 0 63); do
    head -c 16M /dev/urandom >"$work/big/file$i.bin"
done
for i in $(seq -w 0 63); do
    head -c "$((disk_mib * 1024 / 64))K" /dev/urandom >"$work/diskbig/file$i.bin"
done
for d in $(seq -w 0 99); do
    mkdir "$work/small/dir$d"
    head -c 204800 /dev/urandom | split -b 1024 -a 3 -d - "$work/small/dir$d/file"
done
(
    cd "$work/deep"
    for _ in $(seq 1000); do
        mkdir d && cd d
        head -c 2048 /dev/urandom | split -b 1024 -a 1 -d - f
    done
)

# The destination of one timed extraction, made fresh: empty, or for the "over"
# case holding the tree already, so that every file is replaced.
fresh_dest() {
    rm -rf "$dest"
    if [ "$name" = over ]; then cp -a "$work/small" "$dest"; else mkdir "$dest"; fi
}
extract_vt() {
    fresh_dest
    measure "$work/time.txt" "$vt" extract "$work/$archive.vt" -C "$dest"
}
extract_tar() {
    fresh_dest
    measure "$work/time.txt" tar -xf "$work/$archive.tar" -C "$dest"
}
extract_tar_sync() {
    fresh_dest
    measure "$work/time.txt" sh -c 'tar -xf "$1" -C "$2" && sync' sh "$work/$archive.tar" "$dest"
}
extract_vt_with() {
    fresh_dest
    VT_DURABILITY=$1 measure "$work/time.txt" "$vt" extract "$work/$archive.vt" -C "$dest"
}
extract_vt_fdatasync() { sync; extract_vt_with fdatasync; }
extract_vt_off() { extract_vt_with off; }

# Ratios of paired numbers: "median worst".
ratios() {
    local sorted
    sorted=$(paste -d' ' <(tr ' ' '\n' <<<"$1" | sed '/^$/d') <(tr ' ' '\n' <<<"$2" | sed '/^$/d') |
        awk '{ printf "%.4f\n", ($2 > 0 ? $1 / $2 : 0) }' | sort -g)
    printf '%.2f %.2f\n' "$(echo $sorted | median_of)" "$(tail -n 1 <<<"$sorted")"
}
worst_of() { tr ' ' '\n' | sed '/^$/d' | sort -g | tail -n 1; }

pack_case() {
    [ -f "$work/$1.vt" ] && return
    "$vt" pack "$work/$1" -o "$work/$1.vt"
    tar -cf "$work/$1.tar" -C "$work/$1" .
}

# Runs ROUNDS interleaved rounds of two measured commands; prints one row.
compare() {
    local label=$1 first=$2 second=$3 a_times="" b_times="" a_kib=0 b_kib=0 s kib
    for round in $(seq "$rounds"); do
        pair_round "$round" "$first" "$second"
        read -r s kib <<<"$FIRST"
        a_times="$a_times $s"
        [ "$kib" -gt "$a_kib" ] && a_kib=$kib
        read -r s kib <<<"$SECOND"
        b_times="$b_times $s"
        [ "$kib" -gt "$b_kib" ] && b_kib=$kib
    done
    read -r med worst < <(ratios "$a_times" "$b_times")
    printf '%-34s %9s %9s %7s %7s %12s %12s\n' "$label" "$(echo $a_times | median_of)" \
        "$(echo $b_times | median_of)" "$med" "$worst" "$a_kib" "$b_kib"
    PEAK_KIB=$a_kib
}

header() {
    printf '\n%s\n%-34s %9s %9s %7s %7s %12s %12s\n' "$1" case "vt s" "$2 s" median worst \
        "vt peak KiB" "$2 peak KiB"
}

header "tmpfs ($work): vt extract vs tar -xf" tar
dest=$work/dest
for name in big small over deep; do
    archive=$name
    [ "$name" = over ] && archive=small
    pack_case "$archive"
    case $name in
        big) label="1 GiB in 64 files" ;;
        small) label="20000 files of 1 KiB" ;;
        over) label="the same, replacing" ;;
        deep) label="2000 files, 1000 deep" ;;
    esac
    compare "$label" extract_vt extract_tar
    [ "$name" = small ] && small_kib=$PEAK_KIB
    # Same result as tar, so both did the same work.
    rm -rf "$work/check-vt" "$work/check-tar" && mkdir "$work/check-vt" "$work/check-tar"
    "$vt" extract "$work/$archive.vt" -C "$work/check-vt"
    tar -xf "$work/$archive.tar" -C "$work/check-tar"
    diff -r "$work/check-vt" "$work/check-tar" >/dev/null || { echo "vt and tar trees differ" >&2; exit 1; }
    rm -rf "$work/check-vt" "$work/check-tar" "$dest"
    case $name in big | deep) rm -rf "$work/$archive" "$work/$archive.tar" "$work/$archive.vt" ;; esac
done

header "disk ($disk): vt extract vs tar -xf && sync" "tar+sync"
dest=$disk/dest
for archive in diskbig small; do
    name=$archive
    pack_case "$archive"
    label="$disk_mib MiB in 64 files"
    [ "$archive" = small ] && label="20000 files of 1 KiB"
    compare "$label" extract_vt extract_tar_sync
    compare "  durability: fdatasync per file" extract_vt_fdatasync extract_tar_sync
    compare "  durability: none" extract_vt_off extract_tar_sync
    rm -rf "$dest"
done
rm -rf "$work/diskbig" "$work/diskbig.vt" "$work/diskbig.tar"

# The commit alone: vt stops itself once everything is staged; the clock runs
# from its continuation to its exit.
commit_seconds() {
    local pid start
    rm -rf "$dest" && mkdir "$dest"
    VT_TEST_STOP=staged VT_DURABILITY=$1 "$vt" extract "$work/small.vt" -C "$dest" &
    pid=$!
    until [ "$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null)" = T ]; do sleep 0.01; done
    start=$(date +%s.%N)
    kill -CONT "$pid"
    wait "$pid"
    awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }'
}
printf '\n%-34s %9s %9s %9s %9s\n' "commit of 20000 files" "median s" "worst s" \
    "no sync" "worst"
for place in "$work" "$disk"; do
    dest=$place/dest
    durable="" unsynced=""
    for round in $(seq "$rounds"); do
        if [ $((round % 2)) -eq 1 ]; then
            durable="$durable $(commit_seconds syncfs)" unsynced="$unsynced $(commit_seconds off)"
        else
            unsynced="$unsynced $(commit_seconds off)" durable="$durable $(commit_seconds syncfs)"
        fi
    done
    printf '%-34s %9s %9s %9s %9s\n' "  on $(stat -f -c %T "$place")" \
        "$(echo $durable | median_of)" "$(echo $durable | worst_of)" \
        "$(echo $unsynced | median_of)" "$(echo $unsynced | worst_of)"
    rm -rf "$dest"
done

# What the pending renames take: the peak for 20,000 files less that for none.
: >"$work/empty.vt"
dest=$work/dest name=small
fresh_dest
read -r _ empty_kib < <(measure "$work/time.txt" "$vt" extract "$work/empty.vt" -C "$dest")
printf '\nmemory per pending file: %d bytes (peak %d KiB for 20000 files, %d KiB for none)\n' \
    "$(((small_kib - empty_kib) * 1024 / 20000))" "$small_kib" "$empty_kib"
