# Sourced by the benchmark scripts.

# Exits 2 unless every argument is an executable file.
require_tools() {
    local tool
    for tool in "$@"; do
        [ -x "$tool" ] || { echo "missing: $tool (build first; scripts/setup.sh installs the rest)" >&2; exit 2; }
    done
}

# Runs a command under /usr/bin/time -v, its report in FILE; prints
# "seconds peak_kib" (wall time, maximum resident set size).
measure() {
    local out=$1
    shift
    /usr/bin/time -v -o "$out" "$@" >/dev/null 2>&1 || { cat "$out" >&2; return 1; }
    time_report "$out"
}

# "seconds peak_kib" from a report of /usr/bin/time -v.
time_report() {
    awk -F': ' '
        /Elapsed \(wall clock\)/ {
            n = split($2, p, ":"); s = 0
            for (i = 1; i <= n; i++) s = s * 60 + p[i]
            secs = s
        }
        /Maximum resident set size/ { rss = $2 }
        END { printf "%.3f %d\n", secs, rss }' "$1"
}

# Smallest and median of whitespace-separated numbers on stdin.
min_of() { tr ' ' '\n' | sed '/^$/d' | sort -g | head -n 1; }
median_of() { tr ' ' '\n' | sed '/^$/d' | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# a / b to two places.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# One round of two measured commands (each printing "seconds peak_kib"), the
# order alternating from round to round so that writeback left by one weighs on
# both alike. Sets FIRST and SECOND to what they printed; fails when either does.
pair_round() {
    local round=$1 first=$2 second=$3
    if [ $((round % 2)) -eq 1 ]; then
        FIRST=$("$first") && SECOND=$("$second")
    else
        SECOND=$("$second") && FIRST=$("$first")
    fi
}

# Fills DIR/data with 64 files of random bytes, SIZE_MIB MiB in all: an update's content.
make_content() {
    local dir=$1 size_mib=$2 i
    mkdir -p "$dir/data"
    for i in $(seq -w 0 63); do
        head -c "$((size_mib * 1024 / 64))K" /dev/urandom >"$dir/data/part$i.bin"
    done
}

# The arguments of the update benchmarks, [BUILD_DIR] [RUNS] [SIZE_MIB], into
# build, runs and size_mib (defaults: $root/build, 5 and 512).
update_bench_args() {
    build=$(realpath -m "${1:-$root/build}")
    runs=${2:-5}
    size_mib=${3:-512}
}

# The EXIT trap of a benchmark that serves with nginx (scripts/lib/nginx.sh):
# stops it and removes $work.
stop_nginx_and_clean() {
    nginx_stop
    rm -rf "$work"
}

# SIZE_MIB MiB of content in WORK/tree (as make_content makes it), packed by the
# vt binary VT into WORK/www/update.vt.
make_update() {
    local work=$1 size_mib=$2 vt=$3
    echo "making $size_mib MiB of content ..." >&2
    mkdir -p "$work/www"
    make_content "$work/tree" "$size_mib"
    "$vt" pack "$work/tree" -o "$work/www/update.vt"
}
