#!/bin/bash
# libc_only.sh PROGRAM...: each program (the appliance's five, of any CPU) needs the C library
# alone at run time: its NEEDED entries are libc.so.6 and at most the C library's own loader,
# its program interpreter (on 32-bit ARM and MIPS the loader holds the stack protector's guard
# value: ld-linux.so.3, ld.so.1), and it has no symbol of the C++ run-time library or of
# libgcc_s. A static build, without NEEDED entries, passes too.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

command -v readelf > /dev/null || { echo "readelf is not installed (binutils)"; exit 1; }
[ $# -gt 0 ] || { echo "usage: libc_only.sh PROGRAM..."; exit 2; }

for program in "$@"; do
    name=$(basename "$program")
    loader=$(readelf -lW "$program" 2>/dev/null | sed -n 's|.*program interpreter: .*/\([^]]*\)\]|\1|p')
    needed=$(readelf -dW "$program" 2>&1 | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
    others=$(grep -vx -e libc.so.6 -e "${loader:-libc.so.6}" <<< "$needed" | tr '\n' ' ')
    check "$name needs libc.so.6 alone" \
        "$([ -z "$needed" ] || { grep -qx libc.so.6 <<< "$needed" && [ -z "$others" ]; }; echo $?)" \
        "  NEEDED: $(tr '\n' ' ' <<< "$needed")"
    foreign=$(readelf --dyn-syms -W "$program" 2>&1 | grep -E '@(GLIBCXX|CXXABI|GCC)_' | head -5)
    check "$name uses no symbol of libstdc++ or libgcc_s" "$([ -z "$foreign" ]; echo $?)" "$foreign"
done
finish
