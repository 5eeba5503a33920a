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
. "$(dirname "$0")/../support/peers.sh"
install_missing_peers sirikali=sirikali keepassxc=keepassxc xvfb-run=xvfb
xvfb-run -a -s "-screen 0 1280x800x24" "$bench" "$(realpath "$app")" sirikali keepassxc
