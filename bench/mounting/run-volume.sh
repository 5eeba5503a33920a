#!/usr/bin/env bash
# Sequential write and read of a 1 GiB file with dd bs=1M through a Tessaro
# volume and through gocryptfs, on the same disk in the same run.
# gocryptfs is a benchmark-only peer: installed here when missing, never by CI.
set -euo pipefail
build=${1:-build/release}
server="$build/bin/tessaro_bench_volume"
[ -x "$server" ] || { echo "volume bench: $server not built" >&2; exit 1; }
. "$(dirname "$0")/../support/peers.sh"
install_missing_peers gocryptfs=gocryptfs
size_mb=${VOLUME_BENCH_MB:-1024}
work=$(mktemp -d "${VOLUME_BENCH_DIR:-/var/tmp}/tessaro-volbench-XXXXXX")
cleanup() {
  fusermount3 -u "$work/gmnt" 2>/dev/null || umount "$work/gmnt" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Seconds for one dd. Writes end with conv=fsync. Before a read, only the
# volume's own cached pages are dropped (dd iflag=nocache), so the read goes
# through the volume's whole stack while the files underneath stay as cached
# as the write left them: the figure is the volume's cost, not the disk's.
timed() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" status=none
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'
}
drop() { dd if="$1" iflag=nocache count=0 status=none; }

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

# One round on each volume; the disk's flushes vary a lot on a shared
# machine, so the best of a few rounds is what is compared.
tessaro_round() {
  rm -rf "$work/folder.zel"
  mkdir -p "$work/tmnt"
  "$server" "$work/folder.zel" "$work/tmnt" >/dev/null 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do grep -q " $work/tmnt " /proc/self/mountinfo && break; sleep 0.1; done
  grep -q " $work/tmnt " /proc/self/mountinfo || { echo "volume bench: server did not start" >&2; exit 1; }
  tw=$(min "$tw" "$(timed dd if=/dev/zero of="$work/tmnt/big" bs=1M count="$size_mb" conv=fsync)")
  drop "$work/tmnt/big"
  tr=$(min "$tr" "$(timed dd if="$work/tmnt/big" of=/dev/null bs=1M)")
  kill -TERM "$server_pid"
  wait "$server_pid" || true
}

gocryptfs_round() {
  rm -rf "$work/gcipher"
  mkdir -p "$work/gcipher" "$work/gmnt"
  echo bench > "$work/pw"
  gocryptfs -q -init -passfile "$work/pw" "$work/gcipher" >/dev/null
  gocryptfs -q -passfile "$work/pw" "$work/gcipher" "$work/gmnt"
  gw=$(min "$gw" "$(timed dd if=/dev/zero of="$work/gmnt/big" bs=1M count="$size_mb" conv=fsync)")
  drop "$work/gmnt/big"
  gr=$(min "$gr" "$(timed dd if="$work/gmnt/big" of=/dev/null bs=1M)")
  fusermount3 -u "$work/gmnt"
}

tw= tr= gw= gr=
for _ in $(seq "${VOLUME_BENCH_ROUNDS:-3}"); do
  tessaro_round
  gocryptfs_round
done

echo "volume: best of ${VOLUME_BENCH_ROUNDS:-3}: tessaro write ${tw}s read ${tr}s; gocryptfs write ${gw}s read ${gr}s (${size_mb} MiB)"
awk -v g="$gr" -v t="$tr" 'BEGIN { printf "RATIO volume_read_vs_gocryptfs %.2f goal >= 1.5\n", g / t }'
awk -v g="$gw" -v t="$tw" 'BEGIN { printf "RATIO volume_write_vs_gocryptfs %.2f goal >= 1.0\n", g / t }'
