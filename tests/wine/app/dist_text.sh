#!/usr/bin/env bash
# The release zip's text files as Windows reads them: every line of the scripts and the guide ends
# in CRLF; the guide starts with a byte order mark and the scripts do not (cmd would read it as
# part of the first command). Needs no Wine.
#   dist_text.sh TextBraid-x.y.z.zip
set -euo pipefail
zip=$1 failures=0
for name in install.cmd uninstall.cmd user-guide.txt; do
  text=$(unzip -p "$zip" "*/$name" | od -An -c | tr -s ' \n' ' ')
  [ -n "$text" ] || { echo "dist_text: $name is not in $zip" >&2; failures=$((failures + 1)); continue; }
  lf=$(unzip -p "$zip" "*/$name" | tr -cd '\n' | wc -c)
  crlf=$(unzip -p "$zip" "*/$name" | grep -c $'\r$' || true)
  [ "$lf" -gt 0 ] && [ "$lf" = "$crlf" ] || { echo "dist_text: $name has $lf lines, $crlf of them end in CRLF" >&2; failures=$((failures + 1)); }
  bom=no; [[ $text == " 357 273 277"* ]] && bom=yes
  want=no; [ "$name" = user-guide.txt ] && want=yes
  [ "$bom" = "$want" ] || { echo "dist_text: $name: byte order mark $bom, wanted $want" >&2; failures=$((failures + 1)); }
done
exit $((failures > 0))
