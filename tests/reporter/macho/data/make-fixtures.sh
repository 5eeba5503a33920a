#!/usr/bin/env bash
# Made once, committed: a thin x86_64 executable for macOS 10.9
# (LC_VERSION_MIN_MACOSX) and a fat x86_64 (10.15) + arm64 (11.0) executable
# whose slices carry LC_BUILD_VERSION only. Each links a small dylib and a
# stand-in system library so the images hold LC_LOAD_DYLIB commands.
# Usage: make-fixtures.sh <output folder>
set -euo pipefail
out=$(realpath "${1:-.}")
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cd "$work"
echo 'int fixture_value(void) { return 42; }' > lib.c
printf 'int fixture_value(void);\nint main(void) { return fixture_value() - 42; }\n' > main.c
printf 'void stub_binder(void) __asm__("dyld_stub_binder");\nvoid stub_binder(void) {}\n' > sys.c
build() {  # arch target min sdk name install-name
  local arch=$1 target=$2 min=$3 sdk=$4 n=$5 name=$6
  for f in lib main sys; do clang-14 -target "$target" -O1 -c $f.c -o $f-$n.o; done
  local pv=(-arch "$arch" -platform_version macos "$min" "$sdk")
  ld64.lld-14 "${pv[@]}" -dylib -install_name /usr/lib/libSystem.B.dylib -o sys-$n.dylib sys-$n.o
  ld64.lld-14 "${pv[@]}" -dylib -install_name "$name" -o lib-$n.dylib lib-$n.o sys-$n.dylib
  ld64.lld-14 "${pv[@]}" -o exe-$n main-$n.o lib-$n.dylib sys-$n.dylib
}
build x86_64 x86_64-apple-macos10.9 10.9 10.15 x86old /usr/lib/libfixture.dylib
build x86_64 x86_64-apple-macos10.15 10.15 11.3 x86new @rpath/libfixture.dylib
build arm64 arm64-apple-macos11 11.0 12.1 armnew @rpath/libfixture.dylib
cp exe-x86old "$out/thin-x86_64-10.9"
llvm-lipo-14 -create exe-x86new exe-armnew -output "$out/fat-x86_64-arm64"
