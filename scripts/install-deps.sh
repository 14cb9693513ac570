#!/usr/bin/env bash
# Installs the Debian packages the project needs that are missing, with one
# `apt-get update` only when something has to be installed.
set -euo pipefail

packages=(
    cmake make g++ ninja-build pkg-config
    libboost-dev libboost-system-dev rapidjson-dev
    libsqlite3-dev libpq-dev
    libgtest-dev libgmock-dev
    postgresql
    clang libclang-rt-14-dev
    curl procps
    libssl-dev
    chromium chromium-driver python3-selenium
    fuse3 libfuse3-dev
)
[ "$#" -gt 0 ] && packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
