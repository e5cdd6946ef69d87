#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev libgmock-dev libbenchmark-dev clang-format
    clang libclang-rt-dev libcli11-dev libpcap-dev tshark nlohmann-json3-dev libncurses-dev tmux jq
    pkg-config libcpp-httplib-dev chromium nodejs dpkg-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    SUDO=""
    [[ $(id -u) -ne 0 ]] && SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
