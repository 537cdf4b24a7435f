#!/usr/bin/env bash
# Checks the shipped Windows executable: a PE32+ GUI-subsystem image that imports only
# system libraries and carries the application manifest, and that it and the launcher
# beside it carry a version resource with the project's version; and that the companion
# library exports nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-build/windows/kestrune-load.exe}
fail() { echo "check_exe: $*" >&2; exit 1; }

version=$(sed -n 's/^project([^)]*VERSION \([0-9][0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no project version in CMakeLists.txt"

# check_version FILE NAME: the decoded resources hold the numbers, both strings and the name.
check_version() {
  local file=$1 name=$2 rc
  [[ -f $file ]] || fail "$file not built"
  rc=$(x86_64-w64-mingw32-windres -i "$file" -O rc 2>/dev/null) || fail "$file: resources unreadable"
  grep -q 'VERSIONINFO' <<<"$rc" || fail "$file: no version resource"
  for key in FILEVERSION PRODUCTVERSION; do
    grep -qE "^ *$key +${version//./, *}, *0$" <<<"$rc" || fail "$file: $key is not $version"
  done
  for key in FileVersion ProductVersion; do
    grep -qE "VALUE \"$key\", \"$version\"" <<<"$rc" || fail "$file: $key string is not $version"
  done
  grep -q 'VALUE "ProductName", "kestrune-load"' <<<"$rc" || fail "$file: product name is not kestrune-load"
  grep -q "VALUE \"OriginalFilename\", \"$name\"" <<<"$rc" || fail "$file: original file name is not $name"
  grep -qE 'VALUE "FileDescription", "[^"]+"' <<<"$rc" || fail "$file: no description"
}

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

check_version "$exe" kestrune-load.exe
launcher=$(dirname "$exe")/kestrune-launch.exe
if [[ -f $launcher ]]; then
  check_version "$launcher" kestrune-launch.exe
  echo "version: $version in kestrune-load.exe and kestrune-launch.exe"
else
  echo "version: $version in kestrune-load.exe (no launcher beside it)"
fi

# The companion library: a PE32+ DLL with an empty export table and system imports only.
lib=$(dirname "$exe")/kestrune_lib.dll
if [[ -f $lib ]]; then
  file "$lib" | grep -q 'PE32+ executable (DLL)' || fail "not a PE32+ DLL: $(file "$lib")"
  dump=$(x86_64-w64-mingw32-objdump -p "$lib")
  grep -qE '^\s*Export Address Table\s+0+$' <<<"$dump" || fail "kestrune_lib.dll exports functions"
  for dll in $(sed -n 's/^\s*DLL Name: //p' <<<"$dump"); do
    [[ $dll =~ ^(KERNEL32|msvcrt)\.dll$ ]] || fail "kestrune_lib.dll: unexpected import: $dll"
  done
  echo "kestrune_lib.dll: no exports, system imports only"
fi
