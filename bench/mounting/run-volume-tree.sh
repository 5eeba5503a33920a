#!/usr/bin/env bash
# Metadata-heavy and parallel workloads through a Tessaro volume against
# gocryptfs, and large sequential reads and writes against a plain directory
# on the same disk, in the same run, best of a few rounds.
# gocryptfs is a benchmark-only peer: installed here when missing, never by CI.
set -euo pipefail
build=${1:-build/release}
server="$build/bin/tessaro_bench_volume"
passthrough="$build/bin/tessaro_bench_passthrough"
[ -x "$server" ] || { echo "volume tree bench: $server not built" >&2; exit 1; }
. "$(dirname "$0")/../support/peers.sh"
install_missing_peers gocryptfs=gocryptfs
rounds=${VOLUME_BENCH_ROUNDS:-3}
big_mb=${VOLUME_BENCH_MB:-1024}
part_mb=${VOLUME_BENCH_PART_MB:-256}
work=$(mktemp -d "${VOLUME_BENCH_DIR:-/var/tmp}/tessaro-treebench-XXXXXX")
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill -TERM "$server_pid" 2>/dev/null
  fusermount3 -u "$work/gmnt" 2>/dev/null || true
  fusermount3 -u "$work/fmnt" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Caches are dropped for the whole machine where we may (root), else only
# the pages of the files about to be read.
drop_all() {
  sync
  if [ -w /proc/sys/vm/drop_caches ]; then echo 3 > /proc/sys/vm/drop_caches; else
    find "$@" -type f -exec dd if={} iflag=nocache count=0 status=none \; ; fi
}
seconds() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'
}
min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }
five() { for _ in 1 2 3 4 5; do "$@"; done; }

# The trees, made once on the plain disk: 10,000 files to walk, 4,000 of
# 1-16 KiB to unpack and read back.
make_tree() {  # dir count
  awk -v dir="$1" -v n="$2" 'BEGIN {
    srand(7)
    for (k = 0; k < 64; k++) chunk = chunk sprintf("%c", 33 + int(rand() * 90))
    while (length(chunk) < 32768) chunk = chunk chunk
    for (i = 0; i < n; i++) {
      d = dir "/d" int(i / 100); if (i % 100 == 0) system("mkdir -p " d)
      f = d "/f" i
      printf "%s", substr(chunk, 1 + int(rand() * 64), 1024 + int(rand() * 15 * 1024)) > f
      close(f)
    }
  }'
}
make_tree "$work/src-walk" 10000
make_tree "$work/src-small" 4000
tar -C "$work/src-small" -cf "$work/small.tar" .

walk() { find "$1" -printf '%s %T@\n'; }
list() { ls -lR "$1"; }
readback() { tar -C "$1" -cf - . | cat; }
parallel_read() {
  local pids=() i
  for i in 1 2 3 4; do dd if="$1/part$i" of=/dev/null bs=1M status=none & pids+=($!); done
  wait "${pids[@]}"
}
big_write() { dd if=/dev/zero of="$1/big" bs=1M count="$big_mb" conv=fsync status=none; }
big_read() { dd if="$1/big" of=/dev/null bs=1M status=none; }

# One round of every workload on the mounted directory $1; results go to
# the variables prefixed $2.
round() {
  local m=$1 p=$2 v
  cp -a "$work/src-walk" "$m/walk"
  walk "$m/walk" >/dev/null; list "$m/walk" >/dev/null
  v=$(seconds five walk "$m/walk"); eval "${p}_find=\$(min \"\${${p}_find:-}\" $v)"
  v=$(seconds five list "$m/walk"); eval "${p}_ls=\$(min \"\${${p}_ls:-}\" $v)"
  mkdir -p "$m/small"
  v=$(seconds tar -C "$m/small" -xf "$work/small.tar"); eval "${p}_untar=\$(min \"\${${p}_untar:-}\" $v)"
  drop_all "$m/small"
  v=$(seconds readback "$m/small"); eval "${p}_cold=\$(min \"\${${p}_cold:-}\" $v)"
  for i in 1 2 3 4; do dd if=/dev/urandom of="$m/part$i" bs=1M count="$part_mb" status=none; done
  sync; drop_all "$m"
  v=$(seconds parallel_read "$m"); eval "${p}_par=\$(min \"\${${p}_par:-}\" $v)"
  rm -f "$m"/part*
  # The disk settles what came before (1 GiB just removed) outside the timing.
  sync
  v=$(seconds big_write "$m"); eval "${p}_bw=\$(min \"\${${p}_bw:-}\" $v)"
  drop_all "$m"
  v=$(seconds big_read "$m"); eval "${p}_br=\$(min \"\${${p}_br:-}\" $v)"
  rm -rf "$m/big" "$m/walk" "$m/small"
}

tessaro_round() {
  rm -rf "$work/folder.zel"
  mkdir -p "$work/tmnt"
  "$server" "$work/folder.zel" "$work/tmnt" >/dev/null 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do grep -q " $work/tmnt " /proc/self/mountinfo && break; sleep 0.1; done
  grep -q " $work/tmnt " /proc/self/mountinfo || { echo "volume tree bench: server did not start" >&2; exit 1; }
  round "$work/tmnt" t
  kill -TERM "$server_pid"
  wait "$server_pid" || true
  server_pid=
}

gocryptfs_round() {
  rm -rf "$work/gcipher"
  mkdir -p "$work/gcipher" "$work/gmnt"
  echo bench > "$work/pw"
  gocryptfs -q -init -passfile "$work/pw" "$work/gcipher" >/dev/null
  gocryptfs -q -passfile "$work/pw" "$work/gcipher" "$work/gmnt"
  round "$work/gmnt" g
  fusermount3 -u "$work/gmnt"
}

plain_round() {
  mkdir -p "$work/plain"
  sync
  v=$(seconds big_write "$work/plain"); p_bw=$(min "${p_bw:-}" "$v")
  drop_all "$work/plain"
  v=$(seconds big_read "$work/plain"); p_br=$(min "${p_br:-}" "$v")
  rm -f "$work/plain/big"
}

# The floor of a FUSE write on this kernel: the plain directory passed
# through libfuse without encryption, through the page cache and without.
floor_round() {
  [ -x "$passthrough" ] || return 0
  local mode v
  mkdir -p "$work/fback" "$work/fmnt"
  for mode in buffered direct; do
    "$passthrough" "$work/fback" "$work/fmnt" "$mode" &
    server_pid=$!
    for _ in $(seq 100); do grep -q " $work/fmnt " /proc/self/mountinfo && break; sleep 0.1; done
    v=$(seconds big_write "$work/fmnt"); eval "f_$mode=\$(min \"\${f_$mode:-}\" $v)"
    rm -f "$work/fmnt/big"
    kill -TERM "$server_pid"
    wait "$server_pid" || true
    server_pid=
  done
}

for _ in $(seq "$rounds"); do
  tessaro_round
  gocryptfs_round
  plain_round
  floor_round
done

echo "volume tree: best of $rounds, seconds (tessaro / gocryptfs / plain):" \
  "find x5 $t_find / $g_find; ls -lR x5 $t_ls / $g_ls; untar $t_untar / $g_untar;" \
  "read back cold $t_cold / $g_cold; 4 parallel reads $t_par / $g_par;" \
  "write ${big_mb} MiB $t_bw / $g_bw / $p_bw; read $t_br / $g_br / $p_br"
[ -n "${f_direct:-}" ] && echo "volume write floor (information, no goal): a pass-through" \
  "without encryption writes ${big_mb} MiB in ${f_buffered} s buffered, ${f_direct} s direct_io;" \
  "plain ${p_bw} s"
ratio() { awk -v n="$1" -v a="$2" -v b="$3" -v goal="$4" \
  'BEGIN { printf "RATIO %s %.2f goal >= %s\n", n, a / b, goal }'; }
ratio volume_find_stat_vs_gocryptfs "$g_find" "$t_find" 1.0
ratio volume_ls_l_vs_gocryptfs "$g_ls" "$t_ls" 1.0
ratio volume_untar_small_vs_gocryptfs "$g_untar" "$t_untar" 1.0
ratio volume_read_small_cold_vs_gocryptfs "$g_cold" "$t_cold" 1.0
ratio volume_parallel_read_vs_gocryptfs "$g_par" "$t_par" 1.0
ratio volume_read_vs_plain_dir "$p_br" "$t_br" 0.8
ratio volume_write_vs_plain_dir "$p_bw" "$t_bw" 0.9
