#!/usr/bin/env bash
# Logging benchmark: our dispatcher against spdlog in the same run.
# $1: the build directory (default build/release).
set -euo pipefail
build=${1:-build/release}
if ! dpkg-query -W -f='${Status}' libspdlog-dev 2>/dev/null | grep -q 'install ok installed'; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends libspdlog-dev >&2
fi
cmake "$build" >/dev/null   # finds spdlog once it is installed
cmake --build "$build" -j4 --target bench_logging_vs_peer >&2
exec "$build/bench-logging/bench_logging_vs_peer"
