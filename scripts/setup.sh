#!/usr/bin/env bash
# Installs, on Debian, the packages a task needs; only what is missing.
#   setup.sh          everything: building, every test, the package, benchmarks, the demo
#   setup.sh demo     only what scripts/demo.sh needs
set -euo pipefail

# Building the programs, and signed updates (libsodium, minisign for keys).
build=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    libsodium-dev libssl-dev minisign
)
# The demo: a local nginx, and the real window on Xvfb with a screenshot.
demo=(
    nginx
    xvfb xdotool imagemagick
    fonts-dejavu-core fontconfig      # text in the dialog and the artwork
)
# Everything else the tests, the package and the benchmarks use.
full=(
    clang libclang-rt-14-dev          # libFuzzer and the sanitizers' clang runtime
    openssl curl                      # HTTPS in the transfer tests; the benchmarks' yardstick
    xauth x11-utils                   # X utilities for looking at the real window by hand
    dpkg-dev file groff-base          # cpack's dependency scan; checking the manual pages
    time                              # peak memory in the benchmarks
)

case "${1:-full}" in
    demo) packages=("${build[@]}" "${demo[@]}") ;;
    full) packages=("${build[@]}" "${demo[@]}" "${full[@]}") ;;
    *) echo "usage: $0 [demo|full]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
