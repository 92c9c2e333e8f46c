#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test, fuzz and benchmark.
# Idempotent: asks apt only for what is missing. Runs as root, or through sudo.
set -euo pipefail

packages=(
    g++ cmake ninja-build make pkg-config dpkg-dev
    libgtest-dev libbenchmark-dev
    clang-14 libclang-rt-14-dev
    libspng-dev libqrcodegencpp-dev libzbar-dev libpng-dev zlib1g-dev
    qt6-base-dev libobs-dev libx11-dev
    xvfb xauth libgl1-mesa-dri libegl-mesa0 libegl1 openssl curl fonts-dejavu-core
    nlohmann-json3-dev
    # make test-windows. Without Wine's preloader, which reserves the addresses Windows fixes before the
    # libraries load, now and then a program fails to start ("failed to map the shared user data").
    g++-mingw-w64-x86-64-posix wine wine64 wine64-preloader googletest
    # make package strips the module with binutils; CI checks the packages with lintian
    binutils lintian
)

missing=()
for pkg in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if ((${#missing[@]} == 0)); then
    echo "setup: all ${#packages[@]} packages present"
    exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "setup: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    as_root=(sudo)
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
