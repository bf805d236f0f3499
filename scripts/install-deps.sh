#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build, test and benchmark qorapi.
set -euo pipefail
packages=(cmake ninja-build g++ clang make libgtest-dev libgmock-dev libbenchmark-dev libgmp-dev libssl-dev libclang-rt-14-dev libsqlite3-dev pkg-config)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
