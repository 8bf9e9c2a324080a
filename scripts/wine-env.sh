# Sourced by the scripts that use Wine. Some kernels cannot execute 32-bit x86 programs at all
# (built without IA32 emulation): there Wine's 32-bit loader fails with "Exec format error", and
# Debian's `wine`, `wineboot`, … wrappers start that loader first. On such a kernel only the 64-bit
# side of Wine works, started through its 64-bit loader.

wine_loader64=/usr/lib/wine/wine64

# Succeeds when this kernel runs 32-bit x86 programs (asks Wine's 32-bit loader, or the system's
# 32-bit dynamic loader where Wine's is absent).
kernel_runs_i386() {
  local probe
  for probe in /usr/lib/wine/wine /lib/ld-linux.so.2; do
    if [ -x "$probe" ]; then "$probe" --version >/dev/null 2>&1; return; fi
  done
  return 1
}

# The one-line reason given wherever something 32-bit is skipped or refused.
no_i386_reason="this kernel cannot run 32-bit programs (no IA32 emulation: 32-bit x86 binaries fail with 'Exec format error')"

# Writes into DIR commands named like Debian's Wine wrappers that start the 64-bit loader instead;
# with DIR first on PATH, `wine`, `wineboot`, `winepath`, … work in a win64 prefix.
write_wine64_shims() {
  local dir=$1 tool
  mkdir -p "$dir"
  for tool in wine wine-stable wine64; do
    printf '#!/bin/sh\nexec %s "$@"\n' "$wine_loader64" >"$dir/$tool"
  done
  for tool in wineboot winecfg wineconsole winedbg winefile winepath; do
    printf '#!/bin/sh\nexec %s %s.exe "$@"\n' "$wine_loader64" "$tool" >"$dir/$tool"
  done
  chmod +x "$dir"/*
}
