#!/usr/bin/env bash
# Installs what building, testing and the demo need, on Debian; only what is missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev
    clang libclang-rt-14-dev          # libFuzzer and the sanitizers' clang runtime
    nginx openssl curl                # real HTTP(S) server for the transfer and end-to-end tests
    xvfb xauth x11-utils xdotool imagemagick  # the real window: screenshots, key presses
    fonts-dejavu-core fontconfig      # text in the dialog and the artwork
    time                              # peak memory in the benchmarks
    libsodium-dev minisign            # signed updates: Ed25519 and BLAKE2b; keys and signatures in tests
)

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
