#!/bin/bash
# bench/footprint.sh BUILD [CPU...]: the appliance's footprint on each CPU ("native" for the
# programs of BUILD, armel and mips for those of build-armel and build-mips): each program's
# stripped size and its run-time libraries (readelf -d NEEDED), the five together, and the
# resident memory (VmRSS) of confagent idle and after 1000 read-settings requests from the PC
# side, in a ready simulated appliance. A cross build's agent runs under qemu-user, whose own
# memory (translator and translated code) is part of that figure. BUILD is a native build with
# dssetup (the simulator's --build). Default CPUs: native and each cross build that exists.
set -euo pipefail
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
REQUESTS=1000

# Inside the appliance: the agent's VmRSS in KiB, idle and after REQUESTS read-settings.
if [ "${1:-}" = __rss ]; then
    rss() { awk '/^VmRSS:/ {print $2}' "/proc/$(cat /var/lock/confagent)/status"; }
    idle=$(rss)
    answered=$(appliance pc -- python3 -c '
import socket, struct, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(10)
answered = 0
for i in range(int(sys.argv[1])):
    seq = i % 65535 + 1
    s.sendto(struct.pack("<HhHH", 0x10, 0, seq, 0), ("192.168.0.2", 915))
    while True:
        reply = s.recv(1024)
        if struct.unpack("<HhHH", reply[:8])[2] == seq:
            answered += reply[2:4] == b"\0\0"
            break
print(answered)' "$REQUESTS")
    echo "$idle $(rss) $answered"
    exit 0
fi

BUILD=$(cd "${1:?usage: bench/footprint.sh BUILD [CPU...]}" && pwd)
shift
if [ $# -eq 0 ]; then
    set -- native
    for cpu in armel mips; do
        [ -x "$SRC/build-$cpu/bin/confagent" ] && set -- "$@" "$cpu"
    done
fi

PROGRAMS=(confagent cfgsync shareapply clockset clockshow)
kib() { awk -v n="$1" 'BEGIN { printf "%.1f", n / 1024 }'; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

for cpu in "$@"; do
    case "$cpu" in
        native) dir=$BUILD strip=strip target=() ;;
        armel) dir=$SRC/build-armel strip=arm-linux-gnueabi-strip target=(--target armel) ;;
        mips) dir=$SRC/build-mips strip=mips-linux-gnu-strip target=(--target mips) ;;
        *) echo "footprint.sh: native, armel or mips, not $cpu" >&2; exit 2 ;;
    esac
    echo "=== $cpu ($dir, $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt"))"
    printf '%-11s %10s  %s\n' program stripped "run-time libraries (NEEDED)"
    total=0
    for p in "${PROGRAMS[@]}"; do
        "$strip" -o "$scratch/$p" "$dir/bin/$p"
        size=$(stat -c %s "$scratch/$p")
        total=$((total + size))
        needed=$(readelf -dW "$dir/bin/$p" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
        printf '%-11s %8s KB  %s\n' "$p" "$(kib "$size")" "$needed"
    done
    printf '%-11s %8s KB\n' "together" "$(kib "$total")"
    read -r idle after answered < <("$SRC/sim/appliance" run --ready --build "$BUILD" "${target[@]}" \
        -- "$SRC/bench/footprint.sh" __rss)
    echo "confagent VmRSS: idle $idle KB, after $REQUESTS read-settings requests $after KB" \
         "($answered answered with status 0)${target[*]:+; under qemu-user, the emulator included}"
done
