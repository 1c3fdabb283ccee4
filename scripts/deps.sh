#!/usr/bin/env bash
# Installs the Debian packages the build, tests and program need, when they
# are missing. Says what is missing when it cannot install.
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev \
         nlohmann-json3-dev libsqlite3-dev clang libclang-rt-14-dev \
         pkgconf binutils dpkg-dev file \
         libcpp-httplib-dev libsodium-dev openssl chromium chromium-driver \
         nats-server libnats-dev \
         libtomlplusplus-dev libmosquitto-dev libmodbus-dev mosquitto mosquitto-clients \
         python3-pymodbus prometheus-cpp-dev libcivetweb-dev prometheus libsystemd-dev \
         libmicrohttpd-dev ccache systemd; do
  have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -eq 0 ]; then exit 0; fi
if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "Installing: ${need[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
else
  echo "Missing packages: ${need[*]}" >&2
  echo "Install them with: sudo apt-get install ${need[*]}" >&2
  exit 1
fi
