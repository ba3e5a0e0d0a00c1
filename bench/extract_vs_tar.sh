#!/usr/bin/env bash
# Usage: bench/extract_vs_tar.sh [VT_BINARY] [ROUNDS]
# Times `vt extract` against GNU `tar -xf` on the same content: (a) 1 GiB in 64
# files, (b) 20,000 files of 1 KiB in 100 directories, (b') the same over an
# existing copy, so that every file is replaced (vt: temporary + rename), and (c)
# 2,000 files in a tree 1,000 levels deep. ROUNDS (default 9) rounds alternate
# which tool goes first; each case prints the median and the worst round of the
# ratio vt / tar (targets: median 1.0 or below for (a) and (b), 2.0 for (c)) and
# the peak resident memory of each tool, which for vt must not grow with the
# archive. Last, the "per-file rename": writing 20,000 files under a temporary
# name and renaming each, against creating them in place, rounds interleaved.
# Work files live on tmpfs ($BENCH_TMP, default /dev/shm) so the disk stays out
# of the comparison; they are removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/lib.sh"
vt=$(realpath -m "${1:-$root/build/vt}")
rounds=${2:-9}
[ -x "$vt" ] || { echo "no vt binary at $vt (build it first)" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (package time)" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMP:-/dev/shm}/bench-vt.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "building content in $work ..." >&2
mkdir "$work/big" "$work/small" "$work/deep"
for i in $(seq -w 0 63); do
    head -c 16M /dev/urandom >"$work/big/file$i.bin"
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

# One timed extraction into a fresh directory, "seconds peak_kib": empty, or for
# the "over" case holding the tree already, so that every file is replaced.
fresh_dest() {
    rm -rf "$work/dest"
    if [ "$name" = over ]; then cp -a "$work/small" "$work/dest"; else mkdir "$work/dest"; fi
}
extract_vt() {
    fresh_dest
    measure "$work/time.txt" "$vt" extract "$work/$archive.vt" -C "$work/dest"
}
extract_tar() {
    fresh_dest
    measure "$work/time.txt" tar -xf "$work/$archive.tar" -C "$work/dest"
}

# Ratios of paired numbers: "median worst".
ratios() {
    local sorted
    sorted=$(paste -d' ' <(tr ' ' '\n' <<<"$1" | sed '/^$/d') <(tr ' ' '\n' <<<"$2" | sed '/^$/d') |
        awk '{ printf "%.4f\n", ($2 > 0 ? $1 / $2 : 0) }' | sort -g)
    printf '%.2f %.2f\n' "$(echo $sorted | median_of)" "$(tail -n 1 <<<"$sorted")"
}

printf '%-22s %9s %9s %7s %7s %12s %12s\n' case "vt s" "tar s" median worst "vt peak KiB" \
    "tar peak KiB"
for name in big small over deep; do
    archive=$name
    [ "$name" = over ] && archive=small
    if [ "$name" != over ]; then
        "$vt" pack "$work/$name" -o "$work/$name.vt"
        tar -cf "$work/$name.tar" -C "$work/$name" .
    fi
    vt_times="" tar_times="" vt_kib=0 tar_kib=0
    for round in $(seq "$rounds"); do
        pair_round "$round" extract_vt extract_tar
        read -r s kib <<<"$FIRST"
        vt_times="$vt_times $s"
        [ "$kib" -gt "$vt_kib" ] && vt_kib=$kib
        read -r s kib <<<"$SECOND"
        tar_times="$tar_times $s"
        [ "$kib" -gt "$tar_kib" ] && tar_kib=$kib
    done
    # Same result as tar, so both did the same work.
    "$vt" extract "$work/$archive.vt" -C "$(mkdir -p "$work/check-vt" && echo "$work/check-vt")"
    mkdir -p "$work/check-tar" && tar -xf "$work/$archive.tar" -C "$work/check-tar"
    diff -r "$work/check-vt" "$work/check-tar" >/dev/null || { echo "vt and tar trees differ" >&2; exit 1; }
    rm -rf "$work/check-vt" "$work/check-tar" "$work/dest"
    [ "$name" = small ] || rm -rf "$work/$archive" "$work/$archive.tar" "$work/$archive.vt"
    read -r med worst < <(ratios "$vt_times" "$tar_times")
    case $name in
        big) label="1 GiB in 64 files" ;;
        small) label="20000 files of 1 KiB" ;;
        over) label="the same, replacing" ;;
        deep) label="2000 files, 1000 deep" ;;
    esac
    printf '%-22s %9s %9s %7s %7s %12s %12s\n' "$label" "$(echo $vt_times | median_of)" \
        "$(echo $tar_times | median_of)" "$med" "$worst" "$vt_kib" "$tar_kib"
done

# The replacement's rename, alone: 20,000 files of 1 KiB written in place and
# written under a temporary name then renamed, rounds interleaved.
perl -MTime::HiRes=time -MFcntl -e '
    my ($dir, $rounds) = @ARGV; my $data = "x" x 1024; my (@in, @re);
    sub run { my ($rename) = @_; system("rm", "-rf", "$dir/r"); mkdir "$dir/r";
        mkdir "$dir/r/$_" for 0 .. 99; my $t = time;
        for my $i (0 .. 19999) { my $f = "$dir/r/" . ($i % 100) . "/f$i";
            my $w = $rename ? "$dir/r/" . ($i % 100) . "/.t$i" : $f;
            sysopen(my $h, $w, O_WRONLY | O_CREAT | O_EXCL) or die "$w: $!";
            syswrite($h, $data) == 1024 or die; close($h) or die;
            if ($rename) { rename($w, $f) or die "$f: $!" } }
        return time - $t }
    for my $r (1 .. $rounds) { if ($r % 2) { push @in, run(0); push @re, run(1) }
        else { push @re, run(1); push @in, run(0) } }
    my @i = sort { $a <=> $b } @in; my @r = sort { $a <=> $b } @re; my $m = int(@i / 2);
    printf "per-file rename, 20000 x 1 KiB: in place %.3f s, temporary + rename %.3f s " .
        "(medians), %.1f us per file\n", $i[$m], $r[$m], ($r[$m] - $i[$m]) / 20000 * 1e6;
' "$work" "$rounds"
