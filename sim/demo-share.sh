#!/bin/bash
# Demo, run inside a simulated appliance: the Windows-sharing settings of /etc/CGI_ds.conf
# applied by shareapply to /etc/smb.conf and /etc/printcap.
set -euo pipefail

CONF=/etc/CGI_ds.conf

heading() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

# Sets key = value in section [network] of the configuration file (added when missing).
set_key() {
    local key=$1 value=$2
    [ -f "$CONF" ] || printf '[network]\n' > "$CONF"
    grep -q '^\[network\]' "$CONF" || printf '[network]\n' >> "$CONF"
    awk -v key="$key" -v value="$value" '
        function flush() { if (in_net && !done) { print key " = " value; done = 1 } }
        /^[ \t]*\[/ { flush(); in_net = ($0 ~ /^[ \t]*\[network\]/) }
        in_net && $0 ~ "^[ \t]*" key "[ \t]*=" { if (!done) print key " = " value; done = 1; next }
        { print }
        END { flush() }
    ' "$CONF" > "$CONF.demo" && cat "$CONF.demo" > "$CONF" && rm -f "$CONF.demo"
}

heading "Windows-sharing settings stored in $CONF"
set_key msn_enable yes
set_key w_d_name OFFICE
set_key code_page 850
set_key printer_name laser
set_key printer_comment "Laser printer, room 2"
set_key wins_enable yes
set_key wins_server 192.168.0.1
grep -E '^(msn_enable|w_d_name|code_page|printer_name|printer_comment|wins_enable|wins_server) ' "$CONF"

cp /etc/smb.conf /tmp/smb.conf.before
cp /etc/printcap /tmp/printcap.before

heading "shareapply"
rc=0
/usr/sbin/shareapply || rc=$?
echo "exit status $rc; services called:"
sed 's/^/  /' /var/log/sim/calls

heading "/etc/smb.conf (changes other than indentation and blank lines; comments do not survive)"
diff -u -w -B --label smb.conf.before --label smb.conf.after /tmp/smb.conf.before /etc/smb.conf |
    head -60 || true

heading "/etc/printcap"
diff -u --label printcap.before --label printcap.after /tmp/printcap.before /etc/printcap || true
