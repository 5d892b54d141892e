#!/usr/bin/env bash
# Installs what is missing, builds the server in Release mode and starts it.
# Usage: scripts/run.sh [program options, e.g. --dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF >/dev/null
cmake --build build-release --target kiv-syslog kiv-syslogd -j"$(nproc)"

echo "Program directory (database and recovery file): $(pwd)/build-release/bin"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: starting the receiver without a window (kiv-syslogd)."
  exec build-release/bin/kiv-syslogd "$@"
fi
exec build-release/bin/kiv-syslog "$@"
