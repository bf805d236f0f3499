#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and benchmark qorapi.
# With the argument "windows": what the Windows cross build and its test run
# under Wine need instead (mingw-w64 compilers, Wine, GoogleTest sources, ccache),
# and the SQLite amalgamation the Windows builds compile (build/third_party/sqlite3,
# taken from the npm package better-sqlite3, which carries it).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

fetch_sqlite() {
    local dest="$root/build/third_party/sqlite3"
    [ -f "$dest/sqlite3.c" ] && [ -f "$dest/sqlite3.h" ] && return 0
    echo "fetching the SQLite amalgamation (npm package better-sqlite3@12)"
    local tmp
    tmp="$(mktemp -d)"
    (cd "$tmp" && npm pack --silent better-sqlite3@12 >/dev/null && tar xzf better-sqlite3-*.tgz package/deps/sqlite3)
    mkdir -p "$dest"
    cp "$tmp/package/deps/sqlite3/sqlite3.c" "$tmp/package/deps/sqlite3/sqlite3.h" "$dest/"
    rm -rf "$tmp"
}

case "${1:-}" in
    windows)
        packages=(cmake ninja-build make ccache g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64 wine googletest)
        # npm only fetches the SQLite amalgamation; any npm on the PATH will do.
        command -v npm >/dev/null 2>&1 || packages+=(npm)
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
if [ ${#missing[@]} -ne 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${options[@]}" "${missing[@]}"
fi
[ "${1:-}" = windows ] && fetch_sqlite
exit 0
