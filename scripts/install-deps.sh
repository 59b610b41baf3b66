#!/usr/bin/env bash
# Installs the Debian packages velloc needs, when any is missing. Does nothing when all
# are present; when not root it prints the apt-get line and fails.
set -euo pipefail
packages=(build-essential cmake libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev
          nlohmann-json3-dev e2fsprogs clang libclang-rt-14-dev
          fuse3 libfuse3-dev pkg-config fio libzstd-dev libext2fs-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}" >&2
  echo "install-deps: run as root: apt-get update && $cmd" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
$cmd
