#!/bin/sh
# Checks that the burn kernels' inner loops stay register-resident: compiles
# src/cpu/kernel_sse2.cc and src/cpu/kernel_avx2fma.cc the way the builds do (native g++
# and the mingw-w64 cross compiler, -O2 as in RelWithDebInfo and -O3 as in Release; clang
# too when present), disassembles burn_sse2 and burn_avx2fma, finds the loop (the one
# backward jump) and asserts that its body holds only the kernel's arithmetic on registers
# and the loop counter: no loads, stores, calls or other branches.
#
# Usage: scripts/check_kernel_asm.sh        (exit status 0 when every build passes)
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM
status=0

# check_loop OBJDUMP OBJECT FUNCTION KIND(sse2|avx2fma) LABEL
check_loop() {
  "$1" -d --no-show-raw-insn -C "$2" | awk -v fn="$3" -v kind="$4" -v label="$5" '
    function fail(msg) { printf "FAIL %s: %s\n", label, msg; bad = 1 }
    function hex(s,   v, i) {
      v = 0; s = tolower(s); sub(/^0x/, "", s)
      for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
      return v
    }
    index($0, "<kestrune::" fn "(") && /:$/ { infn = 1; next }
    infn && /^$/ { infn = 0 }
    infn && /^ *[0-9a-f]+:/ {
      line = $0
      sub(/^ */, "", line)
      split(line, parts, ":")
      addr = hex(parts[1])
      rest = substr(line, length(parts[1]) + 2)
      gsub(/^[ \t]+/, "", rest)
      sub(/[ \t]*#.*$/, "", rest)
      mn = rest; sub(/[ \t].*$/, "", mn)
      ops = rest; sub(/^[^ \t]+[ \t]*/, "", ops); sub(/[ \t]*<.*>$/, "", ops)
      n++; A[n] = addr; M[n] = mn; O[n] = ops; T[n] = rest
    }
    END {
      if (n == 0) { fail("function not found"); exit 1 }
      back = 0
      for (i = 1; i <= n; i++) {
        if (M[i] ~ /^j/) {
          split(O[i], t, " "); target = hex(t[1])
          if (target <= A[i]) { back++; first = target; last = A[i] }
        }
      }
      if (back != 1) { fail("expected exactly one backward jump, found " back); exit 1 }
      mul = 0; add = 0; fma = 0; body = 0
      for (i = 1; i <= n; i++) {
        if (A[i] < first || A[i] > last) continue
        body++
        if (M[i] ~ /^j/) { if (A[i] != last) fail("branch inside the loop: " T[i]); continue }
        if (O[i] ~ /\(/) { fail("memory operand in the loop: " T[i]); continue }
        if (M[i] ~ /^(call|ret|push|pop|lea)/) { fail("not allowed in the loop: " T[i]); continue }
        if (M[i] ~ /^(sub|add|dec|inc|cmp|test)[lq]?$/ && O[i] !~ /mm/) continue
        if (kind == "sse2" && M[i] ~ /^v?mulps$/) { mul++; continue }
        if (kind == "sse2" && M[i] ~ /^v?addps$/) { add++; continue }
        if (kind == "avx2fma" && M[i] ~ /^vfmadd(132|213|231)ps$/ && O[i] ~ /ymm/) { fma++; continue }
        fail("unexpected instruction in the loop: " T[i])
      }
      if (kind == "sse2" && (mul == 0 || mul % 8 != 0 || add != mul))
        fail("expected 8 multiplies and 8 adds per iteration, found " mul " and " add)
      if (kind == "avx2fma" && (fma == 0 || fma % 12 != 0))
        fail("expected 12 fused multiply-adds per iteration, found " fma)
      if (!bad) printf "ok   %s: loop of %d instructions (%s)\n", label, body,
        kind == "sse2" ? mul " mulps + " add " addps" : fma " vfmadd"
      exit bad
    }' || status=1
}

# only_symbol NM OBJECT LABEL: the AVX2 object must define burn_avx2fma and nothing else.
# An inline function emitted there would be AVX2 code that the linker may pick in place
# of the baseline copy used by the rest of the program.
only_symbol() {
  others=$("$1" -C --defined-only -g "$2" | awk '$2 ~ /^[TWVDBRVu]$/' | grep -v 'kestrune::burn_avx2fma(')
  if [ -n "$others" ]; then
    echo "FAIL $3: the AVX2 object defines more than burn_avx2fma:"; echo "$others"; status=1
  else
    echo "ok   $3: defines only burn_avx2fma"
  fi
}

# build COMPILER OBJDUMP NAME EXTRA_FLAGS
build() {
  cxx=$1 objdump=$2 name=$3 extra=$4
  nm=$(echo "$objdump" | sed 's/objdump$/nm/')
  if ! command -v "$cxx" >/dev/null 2>&1 || ! command -v "$objdump" >/dev/null 2>&1; then
    echo "skip $name: $cxx or $objdump not installed"
    return
  fi
  for opt in -O2 -O3; do
    for k in sse2 avx2fma; do
      flags="-std=c++20 $opt $extra -I$root/src -c"
      [ "$k" = avx2fma ] && flags="$flags -mavx2 -mfma"
      obj="$tmp/$name$opt-$k.o"
      if ! "$cxx" $flags "$root/src/cpu/kernel_$k.cc" -o "$obj"; then
        echo "FAIL $name $opt $k: does not compile"; status=1; continue
      fi
      check_loop "$objdump" "$obj" "burn_$k" "$k" "$name $opt burn_$k"
      [ "$k" = avx2fma ] && only_symbol "$nm" "$obj" "$name $opt kernel_avx2fma.o"
    done
  done
}

build g++ objdump native ""
build x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump mingw ""
build clang++ objdump clang ""
exit $status
