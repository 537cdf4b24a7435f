#!/usr/bin/env bash
# Checks the shipped Windows executable: a PE32+ GUI-subsystem image that imports only
# system libraries and carries the application manifest.
set -euo pipefail
exe=${1:-build/windows/kestrune-load.exe}
fail() { echo "check_exe: $*" >&2; exit 1; }

[[ -f $exe ]] || fail "$exe not built"
file "$exe" | grep -q 'PE32+ executable (GUI) x86-64' || fail "not a PE32+ GUI x86-64 image: $(file "$exe")"

allowed='^(KERNEL32|ADVAPI32|dxgi|d3d11|D3DCOMPILER_47|msvcrt)\.dll$'
imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
for dll in $imports; do
  [[ $dll =~ $allowed ]] || fail "unexpected import: $dll"
done
echo "imports: $(echo $imports)"

manifest=$(strings -n 6 "$exe" | sed -n '/<assembly/,/<\/assembly>/p')
[[ -n $manifest ]] || fail "no application manifest"
grep -q 'level="asInvoker"' <<<"$manifest" || fail "manifest lacks asInvoker"
grep -q 'uiAccess="false"' <<<"$manifest" || fail "manifest lacks uiAccess false"
grep -q '<longPathAware[^>]*>true</longPathAware>' <<<"$manifest" || fail "manifest lacks longPathAware"
grep -q '8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a' <<<"$manifest" || fail "manifest lacks Windows 10 support"
echo "manifest: asInvoker, no UI access, Windows 10+, long-path aware"
