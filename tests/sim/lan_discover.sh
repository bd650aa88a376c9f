#!/bin/bash
# lan_discover.sh SIM BUILD: a simulated LAN of 50 ready appliances, and dssetup on the PC side
# discovers every one of them exactly once, with its address and host name; each is reachable
# by its MAC address and its address, has the settings file of its first boot, and takes new
# settings (the date and time included).
set -uo pipefail
COUNT=50
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

if [ "${1:-}" = __pc ]; then
    # On the PC side of the LAN.
    out=$(dssetup discover 2>&1)  # default options: the quiet interval ends it
    rows=$(grep -c '^00:C0:02:' <<< "$out")
    check "discover lists $COUNT appliances (found $rows)" "$([ "$rows" = "$COUNT" ]; echo $?)" "$out"
    missing=""
    for i in $(seq "$COUNT"); do
        mac=$(printf '00:C0:02:4C:00:%02X' "$i")
        rows=$(awk -v mac="$mac" '$1 == mac' <<< "$out")
        [ "$(awk -v ip="192.168.1.$i" -v name="$(printf 'JX4C%04X' "$i")" \
               '$2 == ip && $3 == name' <<< "$rows")" = "$rows" ] &&
            [ "$(wc -l <<< "$rows")" = 1 ] && [ -n "$rows" ] || missing+=" $i"
    done
    check "every appliance listed once with its address and host name" \
        "$([ -z "$missing" ]; echo $?)" "not once:$missing"

    out=$(dssetup show 00:C0:02:4C:00:25 2>&1)
    check "show by MAC reaches appliance 37" \
        "$(grep -q '^IP address: *192.168.1.37$' <<< "$out" && grep -q '^Server name: *JX4C0025$' <<< "$out"; echo $?)" "$out"
    out=$(dssetup show 192.168.1.50 2>&1)
    check "show by address reaches appliance 50" \
        "$(grep -q '^MAC address: *00:C0:02:4C:00:32$' <<< "$out" && grep -q '^Netmask: *255.255.0.0$' <<< "$out"; echo $?)" "$out"

    out=$(appliance on 12 -- sh -c 'hostname; cat /etc/CGI_ds.conf' 2>&1)
    check "appliance 12 has its name and its first-boot settings file" \
        "$(grep -qx JX4C000C <<< "$out" && grep -qx 'hw_addr=00:C0:02:4C:00:0C' <<< "$out" &&
           grep -qx 'default_server_name=JX4C000C' <<< "$out" && grep -qx 'ip_addr=192.168.1.12' <<< "$out"
           echo $?)" "$out"

    # A ready appliance takes a new set of settings, the date and time included: its clock
    # changes are recorded by the simulator's clock guard, never made.
    out=$(dssetup set 00:C0:02:4C:00:07 name=ARCHIVE-7 date=12/31/2027 time=23:59:30 2>&1)
    check "set of a name, date and time succeeds on appliance 7" "$?" "$out"
    out=$(appliance on 7 -- sh -c 'hostname; while read -r s; do date -d "@${s%.*}" +%m/%d/%Y; done < /var/log/sim/clock.set' 2>&1)
    check "appliance 7 took the name and recorded the date and the time" \
        "$(grep -qx ARCHIVE-7 <<< "$out" && grep -qx 12/31/2027 <<< "$out" &&
           [ "$(grep -c '^[0-9/]*$' <<< "$out")" = 2 ]; echo $?)" "$out"
    finish
fi

SIM=$1
BUILD=$2
"$SIM" lan --count "$COUNT" --build "$BUILD" -- bash "$(cd "$(dirname "$0")" && pwd)/lan_discover.sh" __pc
rc=$?
check "the LAN's command passed (exit status $rc)" "$([ "$rc" = 0 ]; echo $?)"

# Sizes outside the range are refused before anything is made.
for n in 0 251 x; do
    "$SIM" lan --count "$n" --build "$BUILD" -- true > /dev/null 2>&1
    rc=$?
    check "--count $n refused with 125 (got $rc)" "$([ "$rc" = 125 ]; echo $?)"
done
finish
