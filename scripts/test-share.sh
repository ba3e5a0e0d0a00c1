#!/usr/bin/env bash
# Prints the share of C++ lines that are tests: non-blank, non-comment lines of C++ under tests/
# against all C++ lines in the repository (build directories left out).
# With a percentage as argument, exits 1 when the share is above it; without, only reports.
#   scripts/test-share.sh        -> tests: 2100 of 6400 C++ lines (32.8%)
#   scripts/test-share.sh 33     -> the same, and exit status 1 above 33%
set -euo pipefail
cd "$(dirname "$0")/.."

max=${1:-}
if [[ -n $max && ! $max =~ ^[0-9]+([.][0-9]+)?$ ]]; then
    echo "usage: $0 [MAX_PERCENT]" >&2
    exit 2
fi

# Lines that hold code once // and /* */ comments are taken out; string and character literals
# are skipped, so that "*/*" or "http://" in them is not read as a comment.
code_lines() {
    awk '
        {
            code = 0; quote = ""; n_chars = length($0)
            for (i = 1; i <= n_chars; i++) {
                c = substr($0, i, 1); two = substr($0, i, 2)
                if (inblock) {
                    if (two == "*/") { inblock = 0; i++ }
                } else if (quote != "") {
                    code = 1
                    if (c == "\\") i++
                    else if (c == quote) quote = ""
                } else if (two == "//") {
                    break
                } else if (two == "/*") {
                    inblock = 1; i++
                } else {
                    if (c == "\"" || c == "\047") quote = c
                    if (c !~ /[[:space:]]/) code = 1
                }
            }
            n += code
        }
        END { print n + 0 }' "$@" </dev/null
}

mapfile -d '' all < <(find . \( -name '.git' -o -name 'build*' \) -prune -o -type f \
    \( -name '*.cpp' -o -name '*.cc' -o -name '*.cxx' -o -name '*.h' -o -name '*.hpp' \) -print0)
tests=()
for f in "${all[@]}"; do
    [[ $f == ./tests/* ]] && tests+=("$f")
done

total_lines=$(code_lines "${all[@]}")
test_lines=0
if ((${#tests[@]})); then
    test_lines=$(code_lines "${tests[@]}")
fi
share=$(awk -v t="$test_lines" -v a="$total_lines" 'BEGIN { printf "%.1f", a ? 100 * t / a : 0 }')
echo "tests: $test_lines of $total_lines C++ lines ($share%)"

if [[ -n $max ]] && awk -v s="$share" -v m="$max" 'BEGIN { exit !(s > m) }'; then
    echo "test-share: above $max%" >&2
    exit 1
fi
