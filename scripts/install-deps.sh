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
    curl procps
    libssl-dev
    libre2-dev
    chromium chromium-driver python3-selenium
    fuse3 libfuse3-dev
    python3-yaml python3-jsonschema
    libsystemd-dev systemd
    debhelper lintian dpkg-dev
)
# npm comes with a NodeSource nodejs; Debian's nodejs needs its npm package.
command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
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
