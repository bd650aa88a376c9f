#!/bin/bash
# Demonstration, run inside a simulated appliance: cfgsync repairs a damaged configuration
# file at boot (unusable addressing, an old default name, missing sharing settings).
set -euo pipefail

heading() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

conf=/etc/CGI_ds.conf
cat > "$conf" <<'CONF'
# Settings of the appliance
[network]
version=1.02
default_server_name=JX000001
disk_server_name=JX000001
disk_server_comment=Disk server
hw_addr=00:C0:02:00:00:01
bootproto=DHCP
ip_addr=0.0.0.0
netmask=255.255.255.0
gateway=192.168.0.1
dns_server1=10.0.0.1
dns_server2=10.0.0.2
dns_server3=
dhcp_server=maybe
telnet_enable=yes
printer_name=JX000001_p1
time_zone=20
CONF
cp "$conf" /tmp/CGI_ds.conf.before

heading "a damaged $conf (address 0.0.0.0, bootproto DHCP, old default name, no sharing keys)"
cat "$conf"

heading "cfgsync (eth0 has MAC $(ip -o link show eth0 | sed -n "s/.*link\/ether \([^ ]*\).*/\1/p")); its trace:"
echo "\$ /usr/sbin/cfgsync"
/usr/sbin/cfgsync 2>&1 | sed 's/^/  /'
echo "exit status ${PIPESTATUS[0]}"

heading "what cfgsync changed"
diff -u /tmp/CGI_ds.conf.before "$conf" | tail -n +3 || true
