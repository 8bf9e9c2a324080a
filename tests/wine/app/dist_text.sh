#!/usr/bin/env bash
# The release zip's text files as Windows reads them: every line of the scripts and the guide ends
# in CRLF; the guide starts with a byte order mark and the scripts do not (cmd would read it as
# part of the first command). Needs no Wine.
#   dist_text.sh TextBraid-x.y.z.zip
set -euo pipefail
zip=$1 failures=0 file=$(mktemp)
trap 'rm -f "$file"' EXIT
bad() { echo "dist_text: $*" >&2; failures=$((failures + 1)); }
for name in install.cmd uninstall.cmd user-guide.txt; do
  unzip -p "$zip" "*/$name" >"$file" 2>/dev/null && [ -s "$file" ] || { bad "$name is not in $zip"; continue; }
  lf=$(tr -cd '\n' <"$file" | wc -c) crlf=$(grep -c $'\r$' "$file" || true)
  [ "$lf" = "$crlf" ] || bad "$name has $lf lines, $crlf of them end in CRLF"
  bom=no want=no
  [ "$(head -c 3 "$file" | od -An -tx1 | tr -d ' ')" = efbbbf ] && bom=yes
  [ "$name" = user-guide.txt ] && want=yes
  [ "$bom" = "$want" ] || bad "$name: byte order mark $bom, wanted $want"
done
exit $((failures > 0))
