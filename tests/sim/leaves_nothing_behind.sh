#!/bin/bash
# A run of the simulator, one appliance or a LAN, leaves nothing behind on the host: no
# interfaces, network namespaces, mounts, processes or files; not after a normal run, not after
# a failing command, not after an interrupted run. Nothing in it can set the clock.
set -uo pipefail
SIM=$1
BUILD=${2:-}
marker="simcheck-$$-$RANDOM"
fail=0

snapshot() {
    {
        echo "== links"; ip -o link show | awk -F': ' '{print $2}' | sort
        echo "== netns"; ls /run/netns 2>/dev/null | sort
        echo "== mounts"; awk '{print $5}' /proc/self/mountinfo | sort
    }
}
check() {
    local what=$1
    if ! diff -u "$before" <(snapshot) > /dev/null; then
        echo "FAIL ($what): host state changed:"; diff -u "$before" <(snapshot)
        fail=1
    fi
    if pgrep -f "$marker" > /dev/null; then
        echo "FAIL ($what): processes of the run are still alive:"; pgrep -af "$marker"
        fail=1
    fi
}

before=$(mktemp)
trap 'rm -f "$before"' EXIT
snapshot > "$before"

# A normal run that leaves a background process and files behind inside the appliance.
out=$("$SIM" run ${BUILD:+--build "$BUILD"} -- sh -c \
    "sleep 1000 $marker >/dev/null 2>&1 & touch /tmp/$marker /etc/$marker /var/$marker /usr/$marker; ip link add simv1 type veth peer name simv2; hostname" \
    2>&1)
rc=$?
[ "$rc" = 0 ] || { echo "FAIL: run exited $rc: $out"; fail=1; }
[ "$out" = JX1A2B3C ] || { echo "FAIL: host name inside was '$out'"; fail=1; }
sleep 0.2
check "normal run"
for f in /tmp/$marker /etc/$marker /var/$marker /usr/$marker; do
    [ -e "$f" ] && { echo "FAIL: $f leaked to the host"; fail=1; }
done

# A failing command: its exit status comes back, nothing stays.
"$SIM" run -- sh -c "sleep 1000 $marker & exit 7" > /dev/null 2>&1
rc=$?
[ "$rc" = 7 ] || { echo "FAIL: exit status $rc instead of 7"; fail=1; }
sleep 0.2
check "failing command"

# An interrupted run.
"$SIM" run -- sh -c "sleep 1000 $marker" > /dev/null 2>&1 &
pid=$!
for _ in $(seq 100); do pgrep -f "$marker" > /dev/null && break; sleep 0.05; done
kill -INT "$pid"
wait "$pid" 2>/dev/null
sleep 0.3
check "interrupted run"

# A LAN whose PC side and appliances leave processes and files behind.
if [ -n "$BUILD" ]; then
    "$SIM" lan --count 3 --build "$BUILD" -- sh -c \
        "sleep 1000 $marker >/dev/null 2>&1 & touch /tmp/$marker /etc/$marker /var/$marker /usr/$marker
         appliance on 2 -- sh -c 'sleep 1000 $marker >/dev/null 2>&1 & touch /etc/$marker'" \
        > /dev/null 2>&1
    rc=$?
    [ "$rc" = 0 ] || { echo "FAIL: LAN run exited $rc"; fail=1; }
    sleep 0.3
    check "LAN run"
    for f in /tmp/$marker /etc/$marker /var/$marker /usr/$marker; do
        [ -e "$f" ] && { echo "FAIL: $f leaked to the host from a LAN"; fail=1; }
    done

    "$SIM" lan --count 2 --build "$BUILD" -- sh -c "sleep 1000 $marker" > /dev/null 2>&1 &
    pid=$!
    for _ in $(seq 200); do pgrep -f "$marker" > /dev/null && break; sleep 0.05; done
    kill -INT "$pid"
    wait "$pid" 2>/dev/null
    sleep 0.3
    check "interrupted LAN"
fi

# No clock changes possible inside.
caps=$("$SIM" run -- sh -c 'grep CapEff /proc/self/status' | awk '{print $2}')
if (( (16#$caps >> 25) & 1 )); then
    echo "FAIL: CAP_SYS_TIME is still held inside ($caps)"; fail=1
fi
if [ -n "$BUILD" ]; then
    caps=$("$SIM" lan --count 1 --build "$BUILD" -- sh -c \
        'grep CapBnd /proc/self/status; appliance on 1 -- grep CapBnd /proc/self/status' |
        awk '{print $2}')
    for c in $caps; do
        if (( (16#$c >> 25) & 1 )); then
            echo "FAIL: CAP_SYS_TIME is still held in a LAN ($caps)"; fail=1
        fi
    done
    [ "$(wc -w <<< "$caps")" = 2 ] || { echo "FAIL: capabilities of a LAN not read: $caps"; fail=1; }
fi

[ "$fail" = 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit "$fail"
