#!/bin/bash
# bench/discover_lan.sh BUILD [N...]: how long `dssetup discover` takes on a simulated LAN of N
# appliances (default 1, 10, 50, 200), against the floor it cannot beat: the time of the last
# new answer. Each size: one LAN, RUNS discovers in a row (default 5); the median, minimum and
# maximum of both times, and whether every run found all N. A figure script, not a test: the
# machine is shared and the times are noisy.
set -euo pipefail
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:?usage: bench/discover_lan.sh BUILD [N...]}" && pwd)
shift
[ $# -gt 0 ] || set -- 1 10 50 200
RUNS=${RUNS:-5}

# On the PC side: "SECONDS LAST-ANSWER-SECONDS FOUND" per run, from discover's JSON result.
probe='
for r in $(seq '"$RUNS"'); do
    out=$(dssetup discover --timeout 10 --json)
    echo "$(sed -n "s/.*\"seconds\":\([0-9.e-]*\),\"last_answer_seconds\":\([0-9.e-]*\).*/\1 \2/p" <<< "$out")" \
        "$(grep -o "\"mac\":" <<< "$out" | wc -l)"
done
'

stats() {  # the median, minimum and maximum of the numbers on standard input, in ms
    sort -g | awk '{ v[NR] = $1 * 1000 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%8.1f %8.1f %8.1f", m, v[1], v[NR] }'
}

printf '%5s | %-26s | %-26s | %s\n' N "discover ms (med min max)" "last answer ms (med min max)" \
    "found all"
for n in "$@"; do
    runs=$("$SRC/sim/appliance" lan --count "$n" --build "$BUILD" -- bash -c "$probe")
    total=$(awk '{print $1}' <<< "$runs" | stats)
    last=$(awk '{print $2}' <<< "$runs" | stats)
    complete=$(awk -v n="$n" '$3 == n { ok++ } END { printf "%d of %d", ok, NR }' <<< "$runs")
    printf '%5d | %s | %s | %s\n' "$n" "$total" "$last" "$complete"
done
