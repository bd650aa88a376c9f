#!/bin/bash
# bench/ui_figures.sh BUILD [N]: figures of dssetup ui, against a simulated LAN of N ready
# appliances (default 50), each measured five times in one run, medians reported:
#
# 1. Page load to the first list: headless Chromium opens the page; the time from the start
#    of the navigation to the first row drawn (the page records it), and to all N rows; then
#    a changed name applied in the page, from the click on Apply to the result shown.
# 2. Apply to result of an unchanged request through the API (POST apply, the job followed
#    until done), against its floor: the same request by `dssetup set` on the command line.
# 3. The size of dssetup in BUILD, stripped, and the libraries it needs.
# 4. An API request's latency while 50 idle and 50 slow-header connections hold the server.
set -euo pipefail
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(cd "${1:?usage: bench/ui_figures.sh BUILD [N]}" && pwd)
COUNT=${2:-50}

echo "== dssetup in $BUILD"
stripped=$(mktemp)
strip -o "$stripped" "$BUILD/bin/dssetup"
echo "size: $(stat -c %s "$BUILD/bin/dssetup") bytes, stripped $(stat -c %s "$stripped") bytes"
rm -f "$stripped"
echo "libraries: $(objdump -p "$BUILD/bin/dssetup" | awk '/NEEDED/ {print $2}' | tr '\n' ' ')"

echo "== against a simulated LAN of $COUNT appliances"
"$SRC/sim/appliance" lan --count "$COUNT" --build "$BUILD" -- \
    python3 "$SRC/bench/ui_figures.py"
