#!/usr/bin/env bash
# Import and export of a tree (one 1 GiB file and 1,000 small files) through
# the engine, against cp -r into and out of a gocryptfs mount, on the same
# disk in the same run. The disk is flushed before each copy, outside the
# time, so the figures compare the two stacks rather than the disk. gocryptfs is a benchmark-only peer: installed here
# when missing, never by CI.
set -euo pipefail
build=${1:-build/release}
runner="$build/bin/tessaro_bench_importexport"
[ -x "$runner" ] || { echo "import/export bench: $runner not built" >&2; exit 1; }
. "$(dirname "$0")/../support/peers.sh"
install_missing_peers gocryptfs=gocryptfs
big_mb=${IMPEXP_BENCH_MB:-1024}
small=${IMPEXP_BENCH_SMALL:-1000}
work=$(mktemp -d "${IMPEXP_BENCH_DIR:-/var/tmp}/tessaro-iebench-XXXXXX")
cleanup() {
  fusermount3 -u "$work/gmnt" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/src/small"
dd if=/dev/urandom of="$work/src/big" bs=1M count="$big_mb" status=none
for i in $(seq "$small"); do head -c $((i * 37 % 16384 + 1)) /dev/urandom > "$work/src/small/f$i"; done
sync

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { print b - a }'; }
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

ti= te= gi= ge= peak= epeak=
for _ in $(seq "${IMPEXP_BENCH_ROUNDS:-3}"); do
  rm -rf "$work/folder.zel" "$work/tout"; mkdir -p "$work/tout"
  read -r _ i _ e _ p _ _ _ q < <("$runner" "$work/folder.zel" "$work/src" "$work/tout" 2>/dev/null | grep "^import ")
  diff -r "$work/src" "$work/tout" >/dev/null || { echo "import/export bench: round trip differs" >&2; exit 1; }
  ti=$(min "$ti" "$i"); te=$(min "$te" "$e"); peak=$(min "$peak" "$p"); epeak=$(min "$epeak" "$q")

  fusermount3 -u "$work/gmnt" 2>/dev/null || true
  rm -rf "$work/gcipher" "$work/gout"; mkdir -p "$work/gcipher" "$work/gmnt" "$work/gout"
  echo bench > "$work/pw"
  gocryptfs -q -init -passfile "$work/pw" "$work/gcipher" >/dev/null
  gocryptfs -q -passfile "$work/pw" "$work/gcipher" "$work/gmnt"
  sync; t0=$(now); cp -r "$work/src/." "$work/gmnt/"; gi=$(min "$gi" "$(since "$t0")")
  sync; t0=$(now); cp -r "$work/gmnt/." "$work/gout/"; ge=$(min "$ge" "$(since "$t0")")
  fusermount3 -u "$work/gmnt"
done

echo "import/export: best of ${IMPEXP_BENCH_ROUNDS:-3}: tessaro import ${ti}s export ${te}s; gocryptfs cp in ${gi}s out ${ge}s (${big_mb} MiB + ${small} files)"
echo "import/export: peak resident size above the idle process: import $((peak / 1024)) MiB, export $((epeak / 1024)) MiB (goal < 64)"
awk -v g="$gi" -v t="$ti" 'BEGIN { printf "RATIO import_vs_gocryptfs_cp %.2f goal >= 1.5\n", g / t }'
awk -v g="$ge" -v t="$te" 'BEGIN { printf "RATIO export_vs_gocryptfs_cp %.2f goal >= 1.5\n", g / t }'
