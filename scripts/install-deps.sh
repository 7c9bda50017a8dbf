#!/usr/bin/env bash
# Installs with apt-get whatever the build, the host and the tests need and is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git clang
  # Clang's sanitizer runtimes (the ThreadSanitizer build).
  libclang-rt-14-dev
  libgtest-dev
  unixodbc unixodbc-dev libsqliteodbc odbc-postgresql sqlite3
  libsimpleini-dev libcli11-dev nlohmann-json3-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev fonts-wqy-microhei xvfb xauth
  postgresql python3
  # Tower loggers over Modbus TCP and an MQTT broker's frames; the tests' peers: a
  # pymodbus device and the mosquitto broker with its clients.
  libmodbus-dev libmosquitto-dev python3-pymodbus mosquitto mosquitto-clients
  # The service's notifications, and systemd-analyze for checking its unit.
  libsystemd-dev systemd
  # The Windows build (32-bit, mingw-w64) and Wine with the i386 ODBC drivers it
  # reaches through unixODBC. Not unixodbc:i386: apt would remove the amd64 one.
  g++-mingw-w64-i686-posix wine wine32:i386
  libodbc2:i386 libodbcinst2:i386 libsqliteodbc:i386 odbc-postgresql:i386
)

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
