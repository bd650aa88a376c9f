#!/bin/bash
# Figures of write settings (0x11) in the simulated appliance:
#
#   sim/appliance run --build build -- bench/write_settings_bench.sh
#
# 1. Time from request to reply of an unchanged request and of a change of the fixed address
#    (Google Benchmark, bin/write_settings_bench, agent untraced).
# 2. One request of each kind with the agent traced (strace): the time of each step (clockset,
#    crond, network restart, Samba, AppleTalk) from the trace's time stamps, and how often each
#    file was opened for writing (every rewrite opens its target once; every key written opens
#    the settings file read-write once).
# 3. The unchanged request leaves the settings file byte for byte as it was.
# The clock is the fake one of the tests (setting it is only recorded).
set -euo pipefail

[ "${SIM_APPLIANCE:-}" = 1 ] || { echo "run inside the simulator (see the header)" >&2; exit 2; }
BUILD=${SIM_BUILD:?the simulator was started without --build}
BENCH=$BUILD/bin/write_settings_bench
SHIM=$(find "$BUILD" -name 'libfake_clock_shim.so' | head -n 1)
[ -x "$BENCH" ] && [ -n "$SHIM" ] || { echo "build bench and tests first" >&2; exit 2; }
command -v strace > /dev/null || { echo "strace is needed for the split" >&2; exit 2; }

CONF=/etc/CGI_ds.conf
CLOCKSET=/usr/share/stowbox/Tcfg/C_File/clockset
WORK=$(mktemp -d /tmp/wsbench.XXXXXX)

cat > "$CONF" <<'EOF'
[network]
version=1.2.3
default_server_name=JX1A2B3C
disk_server_name=STORAGE
disk_server_comment=Office disk
hw_addr=00:C0:02:1A:2B:3C
bootproto=static
ip_addr=192.168.0.2
netmask=255.255.255.0
gateway=
dns_server1=192.168.0.1
dhcp_server=yes
dhcp_start_ip=192.168.0.100
dhcp_end_ip=192.168.0.200
w_d_name=WORKGROUP
zone_name=Office Zone
time_zone=-5
wins_enable=yes
wins_server=192.168.0.5
msn_enable=yes
code_page=437
printer_name=lp
printer_comment=Printer on parallel port
apple_enable=yes
mac_printer_type=LaserWriter
printer_client=LaserWriter
EOF

mv "$CLOCKSET" "$CLOCKSET.real"
cat > "$CLOCKSET" <<EOF
#!/bin/sh
exec env FAKE_CLOCK_NOW=1780000000 FAKE_CLOCK_RECORD=$WORK/clock.set \
    ASAN_OPTIONS="\${ASAN_OPTIONS:+\$ASAN_OPTIONS:}verify_asan_link_order=0" \
    LD_PRELOAD='$SHIM' '$CLOCKSET.real' "\$@"
EOF
chmod 755 "$CLOCKSET"

agent_pid() { cat /var/lock/confagent 2> /dev/null || true; }
start_agent() {
    /usr/sbin/confagent
    for _ in $(seq 500); do
        [ -n "$(agent_pid)" ] && grep -q ':0393 ' /proc/net/udp && return 0
        sleep 0.01
    done
    echo "the agent did not start" >&2
    exit 1
}

echo "== 1. time from request to reply (agent untraced)"
start_agent
"$BENCH" --benchmark_format=console 2>&1 | grep -E '^(BM_|-|Benchmark)' || true

# One request with the agent traced; the trace in $WORK/$1.trace.
traced() {
    local name=$1 filter=$2
    strace -f -ttt -s 256 -e trace=execve,openat,recvfrom,sendto -o "$WORK/$name.trace" \
        -p "$(agent_pid)" 2> /dev/null &
    local tracer=$!
    sleep 0.5
    WRITE_BENCH_ITERATIONS=1 "$BENCH" --benchmark_filter="$filter" > /dev/null 2>&1
    sleep 0.2
    kill "$tracer"
    wait "$tracer" 2> /dev/null || true
}

# Step times (ms) from a trace: each command from its first exec to its exit.
split() {
    awk '
        function t(x) { return x + 0 }
        $3 ~ /^execve\(/ && !($1 in first) { first[$1] = t($2); cmd[$1] = $0 }
        $3 == "+++" && $4 == "exited" { done[$1] = t($2) }
        # A call is stamped when it is entered: the request is in with the next call.
        got && !recv { recv = t($2) }
        /recvfrom\(/ && / = 179$/ { got = 1 }
        /sendto\(/ && / = 8$/ { reply = t($2) }
        END {
            for (p in first) {
                c = cmd[p]; d = done[p] - first[p]
                if (c ~ /"-c", "\/usr\/share\/stowbox\/Tcfg\/C_File\/clockset/) {
                    clock += d; if (!clock_start) clock_start = first[p]
                } else if (c ~ /execve\("\/etc\/rc.d\/init.d\/crond"/) {
                    crond += d
                    if (c ~ /"start"/) crond_end = done[p]; else crond_stop = first[p]
                } else if (c ~ /"-c", "\/etc\/rc.d\/init.d\/network restart"/) {
                    restart += d
                } else if (c ~ /"-c", "\/usr\/share\/stowbox\/public\/PUB_set_led/) {
                    net_end = done[p]
                } else if (c ~ /"-c", "\/etc\/rc.d\/init.d\/smb restart"/) {
                    smb_end = done[p]
                } else if (c ~ /"-c", "\/etc\/rc.d\/init.d\/atalk restart"/) {
                    atalk_end = done[p]
                }
            }
            samba_start = net_end > crond_end ? net_end : crond_end
            printf "  total, request received to reply sent  %8.1f ms\n", (reply - recv) * 1000
            printf "  compare and store (before crond stop)  %8.1f ms\n", (crond_stop - recv) * 1000
            printf "  clockset, date and time                %8.1f ms\n", clock * 1000
            printf "  crond stop and start                   %8.1f ms\n", crond * 1000
            if (net_end) {
                printf "  network step (NETSetTCPIPNetwork)      %8.1f ms\n", (net_end - crond_end) * 1000
                printf "    of it the network restart script     %8.1f ms\n", restart * 1000
            }
            printf "  Samba (files and restart)              %8.1f ms\n", (smb_end - samba_start) * 1000
            printf "  AppleTalk (files and restart)          %8.1f ms\n", (atalk_end - smb_end) * 1000
        }' "$1"
}

# Files opened for writing: rewrites of system files, key writes of the settings file.
writes() {
    grep -E 'openat\(' "$1" | grep -E 'O_WRONLY|O_RDWR' | grep -vE '= -1' |
        sed -E 's/.*openat\([^"]*"([^"]*)".*/\1/' |
        grep -vE '^(/tmp/|/proc/|/dev/|/var/log/sim/|/var/lib/sim/|/run/|/var/log/DS_log)' |
        grep -vE "^$WORK" | sort | uniq -c | sed 's/^/  /' || true
}

echo
cp -p "$CONF" "$WORK/before.conf"
before_stat=$(stat -c '%i %s %Y %Z' "$CONF")
traced unchanged 'BM_UnchangedRequest/'
echo "== 2a. unchanged request, traced"
split "$WORK/unchanged.trace"
echo "  files opened for writing (count, path):"
writes "$WORK/unchanged.trace"
echo "  keys written into $CONF: $(grep -cE "openat\(.*\"$CONF\", O_RDWR" "$WORK/unchanged.trace" || true)"
echo
echo "== 3. settings file after the unchanged request"
if cmp -s "$CONF" "$WORK/before.conf" && [ "$(stat -c '%i %s %Y %Z' "$CONF")" = "$before_stat" ]; then
    echo "  byte for byte as before, same inode, size, modification and change time"
else
    echo "  CHANGED"
    diff "$WORK/before.conf" "$CONF" || true
fi

echo
traced fixed 'BM_FixedAddressChange/'
echo "== 2b. change of the fixed address (192.168.0.2 -> .3), traced"
split "$WORK/fixed.trace"
echo "  files opened for writing (count, path):"
writes "$WORK/fixed.trace"
echo "  keys written into $CONF: $(grep -cE "openat\(.*\"$CONF\", O_RDWR" "$WORK/fixed.trace" || true)"

kill "$(agent_pid)" 2> /dev/null || true
[ -n "${KEEP_TRACE:-}" ] && cp "$WORK"/*.trace /run/ 2>/dev/null; rm -rf "$WORK"
