#!/usr/bin/env bash
# Installs the Debian packages the project needs that are missing, with one
# `apt-get update` only when something has to be installed, then the npm
# tooling (the OpenAPI validator) into tooling/ when it is not there yet.
set -euo pipefail

packages=(
    cmake make g++ ninja-build pkg-config
    libboost-dev libboost-system-dev rapidjson-dev
    libsqlite3-dev libpq-dev
    libgtest-dev libgmock-dev
    postgresql
    clang libclang-rt-14-dev
    curl procps strace
    libssl-dev
    libre2-dev
    chromium chromium-driver python3-selenium
    fuse3 libfuse3-dev
    python3-yaml python3-jsonschema
    libcurl4-openssl-dev
    ceph-mon ceph-osd radosgw ceph-common uuid-runtime python3-boto3
    libsystemd-dev systemd
    debhelper lintian dpkg-dev
)
# npm comes with a NodeSource nodejs; Debian's nodejs needs its npm package.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
# --arm64: the cross toolchain, qemu-user and the arm64 libraries (through
# multiarch) that `make cross-arm64` needs. libpq-dev cannot be installed for
# two architectures at once; the cross build uses the native headers with
# libpq5:arm64.
if [ "${1:-}" = "--arm64" ]; then
    shift
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        [ "$(id -u)" -ne 0 ] && SUDO="sudo" || SUDO=""
        $SUDO dpkg --add-architecture arm64
    fi
    packages+=(crossbuild-essential-arm64 qemu-user libc6:arm64 libpq5:arm64
               libboost-dev:arm64 libboost-system-dev:arm64 libsqlite3-dev:arm64
               libre2-dev:arm64 libssl-dev:arm64 libsystemd-dev:arm64
               libgtest-dev:arm64 libgmock-dev:arm64 libcurl4-openssl-dev:arm64)
fi
[ "$#" -gt 0 ] && packages+=("$@")

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -qq
    $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The OpenAPI validator that `make test` runs on docs/openapi.yaml.
tooling="$(cd "$(dirname "$0")/.." && pwd)/tooling/openapi"
if [ ! -x "$tooling/node_modules/.bin/swagger-cli" ]; then
    echo "Installing the OpenAPI validator into $tooling"
    npm install --prefix "$tooling" --no-audit --no-fund --loglevel=error \
        @apidevtools/swagger-cli@4.0.4
fi
