#!/bin/bash
# bench/lan_start.sh BUILD [N...]: how long `sim/appliance lan --count N` takes until its
# command runs (every appliance ready: settings file after cfgsync, agent serving), and the
# memory the LAN holds then: the proportional set size of all its processes, and what the
# machine lost in available memory (kernel objects of namespaces, mounts and tmpfs included;
# noisy on a shared machine). Also whether dssetup discover lists all N.
set -euo pipefail
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:?usage: bench/lan_start.sh BUILD [N...]}" && pwd)
shift
[ $# -gt 0 ] || set -- 1 10 50 200

available_kb() { awk '/^MemAvailable:/ {print $2}' /proc/meminfo; }
# Kernel memory and tmpfs: slab, per-CPU data, kernel stacks, page tables, shared memory.
kernel_kb() {
    awk '/^(Slab|Percpu|KernelStack|PageTables|Shmem):/ {kb += $2} END {print kb}' /proc/meminfo
}

# Runs on the PC side of the LAN: the LAN's processes are all in its PID namespace.
probe='
ready=$(date +%s%N)
pss=0
for f in /proc/[0-9]*/smaps_rollup; do
    kb=$(awk "/^Pss:/ {print \$2}" "$f" 2>/dev/null) || continue
    pss=$((pss + ${kb:-0}))
done
procs=$(ls -d /proc/[0-9]* | wc -l)
found=$(dssetup discover --timeout 5 | grep -c "^00:C0:02:4C:")
kernel=$(awk "/^(Slab|Percpu|KernelStack|PageTables|Shmem):/ {kb += \$2} END {print kb}" /proc/meminfo)
echo "$ready $pss $procs $(awk "/^MemAvailable:/ {print \$2}" /proc/meminfo) $kernel $found"
'

printf '%6s %10s %10s %12s %15s %10s %6s\n' N "start (s)" "PSS (MiB)" "kernel (MiB)" "available -MiB" processes found
for n in "$@"; do
    before=$(available_kb)
    kbefore=$(kernel_kb)
    t0=$(date +%s%N)
    read -r t1 pss procs after kafter found < <("$SRC/sim/appliance" lan --count "$n" --build "$BUILD" \
        -- sh -c "$probe")
    awk -v n="$n" -v t="$((t1 - t0))" -v pss="$pss" -v kernel="$((kafter - kbefore))" \
        -v lost="$((before - after))" -v procs="$procs" -v found="$found" 'BEGIN {
            printf "%6d %10.2f %10.1f %12.1f %15.1f %10d %6d\n", n, t / 1e9, pss / 1024,
                   kernel / 1024, lost / 1024, procs, found }'
done
