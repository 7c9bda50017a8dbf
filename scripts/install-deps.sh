#!/usr/bin/env bash
# Installs with apt-get whatever the build, the host and the tests need and is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git clang
  libgtest-dev
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql sqlite3
  libsimpleini-dev libcli11-dev nlohmann-json3-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev fonts-wqy-microhei xvfb xauth
  postgresql
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
