#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, when missing.
set -euo pipefail
packages=(cmake g++ make libgtest-dev libbenchmark-dev clang libclang-rt-14-dev tzdata
  pkg-config lintian rsyslog bsdutils libpcre2-dev libspdlog-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (install them with apt-get as root)" >&2
  exit 1
fi
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
