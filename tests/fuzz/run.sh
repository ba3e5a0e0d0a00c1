#!/usr/bin/env bash
# Usage: tests/fuzz/run.sh BINARY SECONDS
# Fuzzes for SECONDS inside a fresh temporary directory (under $TMPDIR, else
# /dev/shm, else /tmp), which is both the current directory and where inputs are
# extracted, seeded from tests/fuzz/corpus (fuzz_archive) or tests/fuzz/corpus-NAME
# (fuzz_NAME). Fails on any crash or on an input that runs over 10 s (a hang),
# printing the input; removes the
# directory afterwards.
set -euo pipefail
if [ $# -ne 2 ]; then
    echo "usage: $0 BINARY SECONDS" >&2
    exit 2
fi
binary=$(realpath "$1")
seconds=$2
here=$(cd "$(dirname "$0")" && pwd)
name=$(basename "$binary")
seeds=$here/corpus
[ "$name" = fuzz_archive ] || seeds=$here/corpus-${name#fuzz_}

# On tmpfs where there is one: every input empties and refills the target, which
# on a journalling disk costs milliseconds.
tmp=${TMPDIR:-/tmp}
[ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ] && tmp=/dev/shm
work=$(mktemp -d "$tmp/$name.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp "$seeds"/* "$work/corpus/"
touch "$work/.fuzz-sandbox"
cd "$work"

status=0
LSAN_OPTIONS="suppressions=$here/../sanitizer/lsan.supp:print_suppressions=0" \
    "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix=artifacts/ corpus >fuzz.log 2>&1 || status=$?

if [ "$status" -ne 0 ] || [ -n "$(ls -A artifacts)" ]; then
    tail -n 60 fuzz.log
    for input in artifacts/*; do
        [ -e "$input" ] || continue
        echo "== failing input $(basename "$input"):"
        xxd "$input" | head -n 40
    done
    echo "$name: FAILED" >&2
    exit 1
fi
grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' fuzz.log || true
echo "$name: no crash in ${seconds} s"
