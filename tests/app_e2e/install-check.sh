#!/bin/sh
# cmake --install into a fresh prefix: the program, a desktop entry that
# desktop-file-validate accepts and that opens folders, and the icon it names.
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
entry="$prefix/share/applications/tessaro.desktop"
test -x "$prefix/bin/Tessaro"
desktop-file-validate "$entry"
grep -qx 'MimeType=inode/directory;' "$entry"
grep -qx 'Exec=Tessaro %F' "$entry"
icon=$(sed -n 's/^Icon=//p' "$entry")
test -s "$prefix/share/icons/hicolor/scalable/apps/$icon.svg"
python3 -c 'import sys, xml.dom.minidom; xml.dom.minidom.parse(sys.argv[1])' \
  "$prefix/share/icons/hicolor/scalable/apps/$icon.svg"
echo "installed and valid"
