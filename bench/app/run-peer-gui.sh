#!/usr/bin/env bash
# Start-up against what a user would pick instead: the fastest of the peer
# encrypted-folder and password GUIs from Debian (SiriKali, KeePassXC), from
# exec to the first visible window, under one Xvfb, interleaved, best of 5.
# The peers are benchmark-only: installed here when missing, never by CI.
set -euo pipefail
build=${1:-build/release}
bench="$build/bench-app/bench_app_peer_gui"
app="$build/bin/Tessaro"
[ -x "$bench" ] && [ -x "$app" ] || { echo "peer GUI bench: $bench or $app not built" >&2; exit 1; }
missing=()
command -v sirikali >/dev/null || missing+=(sirikali)
command -v keepassxc >/dev/null || missing+=(keepassxc)
command -v xvfb-run >/dev/null || missing+=(xvfb)
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO=sudo
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
xvfb-run -a -s "-screen 0 1280x800x24" "$bench" "$(realpath "$app")" sirikali keepassxc
