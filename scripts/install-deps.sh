#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and benchmark qorapi.
# With the argument "windows": what the Windows cross build and its test run
# under Wine need instead (mingw-w64 compilers, Wine, GoogleTest sources, ccache).
set -euo pipefail
case "${1:-}" in
    windows)
        packages=(cmake ninja-build make ccache g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine googletest)
        options=(--no-install-recommends) ;;
    "")
        options=()
        packages=(cmake ninja-build g++ clang make libgtest-dev libgmock-dev libbenchmark-dev libgmp-dev libssl-dev libclang-rt-14-dev libsqlite3-dev pkg-config) ;;
    *)
        echo "usage: $0 [windows]" >&2
        exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${options[@]}" "${missing[@]}"
