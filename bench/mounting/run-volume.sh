#!/usr/bin/env bash
# Sequential write and read of a 1 GiB file with dd bs=1M through a Tessaro
# volume and through gocryptfs, on the same disk in the same run.
# gocryptfs is a benchmark-only peer: installed here when missing, never by CI.
set -euo pipefail
build=${1:-build/release}
server="$build/bin/tessaro_bench_volume"
[ -x "$server" ] || { echo "volume bench: $server not built" >&2; exit 1; }
if ! command -v gocryptfs >/dev/null; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq gocryptfs >/dev/null
fi
size_mb=${VOLUME_BENCH_MB:-1024}
work=$(mktemp -d "${VOLUME_BENCH_DIR:-/var/tmp}/tessaro-volbench-XXXXXX")
cleanup() {
  exec 3>&- 2>/dev/null || true
  fusermount3 -u "$work/gmnt" 2>/dev/null || umount "$work/gmnt" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# seconds for one dd; the page cache is dropped around it so reads hit the volume
timed() {
  sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true
  local t0 t1
  t0=$(date +%s.%N)
  "$@" status=none
  sync
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'
}

# Tessaro
mkdir -p "$work/tmnt"
coproc SERVER { "$server" "$work/folder.zel" "$work/tmnt"; }
exec 3>&"${SERVER[1]}"
read -r line <&"${SERVER[0]}"
[ "$line" = ready ] || { echo "volume bench: server did not start" >&2; exit 1; }
tw=$(timed dd if=/dev/zero of="$work/tmnt/big" bs=1M count="$size_mb" conv=fsync)
tr=$(timed dd if="$work/tmnt/big" of=/dev/null bs=1M)
exec 3>&-
wait "$SERVER_PID" || true

# gocryptfs
mkdir -p "$work/gcipher" "$work/gmnt"
echo bench > "$work/pw"
gocryptfs -q -init -passfile "$work/pw" "$work/gcipher" >/dev/null
gocryptfs -q -passfile "$work/pw" "$work/gcipher" "$work/gmnt"
gw=$(timed dd if=/dev/zero of="$work/gmnt/big" bs=1M count="$size_mb" conv=fsync)
gr=$(timed dd if="$work/gmnt/big" of=/dev/null bs=1M)
fusermount3 -u "$work/gmnt"

echo "volume: tessaro write ${tw}s read ${tr}s; gocryptfs write ${gw}s read ${gr}s (${size_mb} MiB)"
awk -v g="$gr" -v t="$tr" 'BEGIN { printf "RATIO volume_read_vs_gocryptfs %.2f goal >= 1.5\n", g / t }'
awk -v g="$gw" -v t="$tw" 'BEGIN { printf "RATIO volume_write_vs_gocryptfs %.2f goal >= 1.0\n", g / t }'
