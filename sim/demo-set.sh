#!/bin/bash
# Demo, run inside a simulated appliance: dssetup set changes the server name, description,
# workgroup and fixed address, and the appliance applies them (files and kernel); then it switches
# the appliance to DHCP against a DHCP server on the PC side, and the leased address is
# stored back into the settings file.
set -euo pipefail

heading() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
on_pc() { nsenter --net=/run/sim/pc.net -- "$@"; }
shown() { echo "\$ $*"; "$@"; }

# The files the apply may change, and a copy of them to compare with.
files=(/etc/CGI_ds.conf /etc/hosts /etc/smb.conf /etc/sysconfig/network
       /etc/sysconfig/network-scripts/ifcfg-eth0 /etc/resolv.conf /etc/atalk/atalkd.conf
       /etc/atalk/afpd.conf)
snapshot() {
    rm -rf /tmp/demo-before
    local f
    for f in "${files[@]}"; do
        [ -f "$f" ] || continue
        mkdir -p "/tmp/demo-before$(dirname "$f")"
        cp "$f" "/tmp/demo-before$f"
    done
}
changes() {
    local f
    for f in "${files[@]}"; do
        [ -f "$f" ] || continue
        if [ -f "/tmp/demo-before$f" ]; then
            diff -u --label "$f (before)" --label "$f (after)" "/tmp/demo-before$f" "$f" || true
        else
            echo "new file $f:"
            cat "$f"
        fi
    done
}
kernel() {
    echo "host name: $(hostname)"
    ip -4 -o addr show dev eth0 | awk '{print "eth0:", $4}'
    ip -4 route show | sed 's/^/route: /'
}

heading "a simulated appliance: its settings file, and confagent serving"
cat > /etc/CGI_ds.conf <<'CONF'
[network]
version=1.2.3
default_server_name=JX1A2B3C
disk_server_name=FILESERVER
disk_server_comment=Office file and print server
hw_addr=00:C0:02:1A:2B:3C
bootproto=static
ip_addr=192.168.0.2
netmask=255.255.255.0
gateway=192.168.0.10
dns_server1=192.168.0.10
dns_server2=
dns_server3=
dhcp_server=no
dhcp_start_ip=192.168.0.100
dhcp_end_ip=192.168.0.199
telnet_enable=no
msn_enable=yes
w_d_name=WORKGROUP
code_page=437
printer_name=lp
printer_comment=Laser printer in room 2
wins_enable=no
wins_server=
apple_enable=yes
zone_name=*
mac_printer_type=LaserWriter
printer_client=Office Laser
time_zone=1
CONF
# The simulator may not set the clock, which every write-settings request does: the agent runs
# under the simulator's clock guard, which records each request in /var/log/sim/clock.set
# and leaves the clock alone; the appliance keeps today's date.
guard=${DEMO_BUILD:-}/bin/sim_clock_guard
if [ -x "$guard" ]; then
    echo "(setting the clock is recorded in /var/log/sim/clock.set, never done)"
    "$guard" /var/log/sim/clock.set -- /usr/sbin/confagent
else
    echo "(no clock guard in this build: the appliance will report that it cannot set the date)"
    /usr/sbin/confagent
fi
for _ in $(seq 100); do
    grep -q ':0393 ' /proc/net/udp && break
    sleep 0.05
done
kernel

heading "on the PC: a new server name, description, workgroup and fixed address"
snapshot
echo "\$ dssetup set 00:C0:02:1A:2B:3C name=ARCHIVE 'description=Archive of the sales team' workgroup=SALES ip=192.168.0.20"
on_pc dssetup set 00:C0:02:1A:2B:3C name=ARCHIVE 'description=Archive of the sales team' \
    workgroup=SALES ip=192.168.0.20

heading "what changed in the appliance's files"
changes
heading "and in its kernel"
kernel
if [ -s /var/log/sim/clock.set ]; then
    heading "the clock it was asked to set (date, then time: the appliance's own, sent back)"
    while read -r set; do date -d "@${set%.*}" '+%m/%d/%Y %H:%M:%S'; done < /var/log/sim/clock.set
fi

heading "on the PC: a DHCP server (dnsmasq), and the appliance switched to DHCP"
rm -f /tmp/pc-dnsmasq.pid
on_pc dnsmasq --port=0 --interface=pc0 --bind-interfaces --user=root --no-ping \
    --dhcp-range=192.168.0.50,192.168.0.60,255.255.255.0,1h \
    --dhcp-option=option:router,192.168.0.10 --dhcp-option=option:dns-server,192.168.0.10 \
    --dhcp-leasefile=/tmp/pc-dnsmasq.leases --pid-file=/tmp/pc-dnsmasq.pid \
    --log-facility=/tmp/pc-dnsmasq.log
for _ in $(seq 100); do
    [ -s /tmp/pc-dnsmasq.pid ] && break
    sleep 0.05
done
echo "dnsmasq runs as process $(cat /tmp/pc-dnsmasq.pid), leasing 192.168.0.50 to .60"
snapshot
echo "\$ dssetup set 192.168.0.20 mode=dhcp"
on_pc dssetup set 192.168.0.20 mode=dhcp

heading "the leased address, stored back into the settings file"
changes
heading "and the kernel"
kernel
echo "the PC's DHCP server leased:"
cat /tmp/pc-dnsmasq.leases

kill -TERM "$(cat /tmp/pc-dnsmasq.pid)"
kill -TERM "$(cat /var/lock/confagent)"
