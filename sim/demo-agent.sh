#!/bin/bash
# Demo, run inside a simulated appliance: the configuration agent serving the PC setup tool.
set -euo pipefail

heading() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
on_pc() { nsenter --net=/run/sim/pc.net -- "$@"; }

heading "the appliance's settings file /etc/CGI_ds.conf"
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
gateway=192.168.0.1
dns_server1=192.168.0.1
dns_server2=8.8.8.8
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
cat /etc/CGI_ds.conf

heading "the appliance starts confagent"
echo "\$ confagent"
/usr/sbin/confagent
for _ in $(seq 100); do
    grep -q ':0393 ' /proc/net/udp && break
    sleep 0.05
done
echo "running as process $(cat /var/lock/confagent), listening on UDP port 915"

heading "on the PC: dssetup discover"
echo "\$ dssetup discover"
on_pc dssetup discover

heading "on the PC: dssetup show 00:C0:02:1A:2B:3C"
echo "\$ dssetup show 00:C0:02:1A:2B:3C"
on_pc dssetup show 00:C0:02:1A:2B:3C

heading "the appliance's event log /var/log/DS_log"
cat /var/log/DS_log
kill -TERM "$(cat /var/lock/confagent)"
