#!/usr/bin/env bash
# Installs the build into a scratch DESTDIR and checks what a user gets: the two
# programs, manual pages that render without warnings, and a vt completion that
# completes. When cpack has made the package, checks its files and dependencies.
#   check_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expected="usr/bin/updater
usr/bin/vt
usr/share/bash-completion/completions/vt
usr/share/man/man1/updater.1.gz
usr/share/man/man1/vt.1.gz"

DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
got=$(cd "$dest" && find . -type f | sed 's|^\./||' | sort)
[ "$got" = "$expected" ] || fail "installed files differ:"$'\n'"$got"
for program in updater vt; do
    [ -x "$dest/usr/bin/$program" ] || fail "$program is not executable"
done
version=$("$dest/usr/bin/vt" --version) || fail "installed vt --version failed"
[[ $version == "vt "[0-9]* ]] || fail "vt --version printed: $version"

for page in updater vt; do
    warnings=$(zcat "$dest/usr/share/man/man1/$page.1.gz" | groff -man -Tutf8 -ww -z 2>&1) ||
        fail "$page.1 does not render"
    [ -z "$warnings" ] || fail "$page.1: $warnings"
done

# Completion as bash runs it: the command words, then files for the argument.
completions=$(
    cd "$dest/usr/bin"
    source "$dest/usr/share/bash-completion/completions/vt"
    complete() { :; }
    reply() {
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        _vt
        echo "${COMPREPLY[*]}"
    }
    reply vt ""
    reply vt extract --v
    reply vt list v
)
[ "$completions" = $'pack index list extract update verify help --help --version\n--verbose\nvt' ] ||
    fail "completion gave:"$'\n'"$completions"

# The package, once cpack has made it.
shopt -s nullglob
packages=("$build"/*.deb)
if [ ${#packages[@]} -gt 0 ]; then
    package=${packages[0]}
    files=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort)
    [ "$files" = "$expected" ] || fail "package files differ:"$'\n'"$files"
    depends=$(dpkg-deb -f "$package" Depends)
    # Every shared library the programs load must come from a declared package.
    for lib in $(objdump -p "$build/updater" "$build/vt" | awk '/NEEDED/ {print $2}' | sort -u); do
        owner=$(dpkg -S "*/$lib" 2>/dev/null | head -n 1 | cut -d: -f1)
        [ -n "$owner" ] || continue
        [[ ", $depends" == *", $owner"[\ ,]* || ", $depends," == *", $owner,"* ]] ||
            fail "package does not depend on $owner (for $lib): $depends"
    done
fi

[ "$failures" -eq 0 ] && echo "install tree${packages:+ and package} as expected"
exit "$failures"
