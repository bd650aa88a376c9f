#!/bin/bash
# debian_packages.sh SIM BUILD: the build's two Debian packages, made with CPack, install with
# dpkg -i into a fresh simulated appliance (stowbox-config, then dssetup on the PC side) and
# into a fresh PC (dssetup alone), put every file where it belongs, and run: the appliance's
# first boot, the agent, the clock programs, dssetup against the agent; removal takes it all.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"

APPLIANCE_FILES=(/usr/sbin/confagent /usr/sbin/cfgsync /usr/sbin/shareapply
                 /usr/share/stowbox/Tcfg/C_File/clockset /usr/share/stowbox/Tcfg/C_File/clockshow)

case "${1:-}" in
__appliance)
    # Inside a fresh appliance with nothing installed.
    appliance_deb=$2 pc_deb=$3
    out=$(dpkg -i "$appliance_deb" 2>&1)
    check "dpkg -i stowbox-config" $? "$out"
    for f in "${APPLIANCE_FILES[@]}"; do
        check "$f installed and executable" "$([ -x "$f" ] && dpkg -S "$f" | grep -q '^stowbox-config:'; echo $?)"
    done
    for page in confagent cfgsync shareapply clockset clockshow; do
        check "manual page $page(8)" "$(man -w 8 "$page" 2>/dev/null | grep -q "/man8/$page.8.gz"; echo $?)"
    done
    check "the appliance package brings no dssetup" "$([ ! -e /usr/bin/dssetup ]; echo $?)"
    check "dpkg knows the package" "$(dpkg-query -W -f='${Status}' stowbox-config | grep -q 'ok installed'; echo $?)"

    # The first boot, with the installed programs.
    cp "$SIM_SRC/sim/factory/CGI_ds.conf" /etc/CGI_ds.conf
    /usr/sbin/cfgsync 2> /dev/null
    check "cfgsync completes the settings file" "$(ok grep -qx 'default_server_name=JX1A2B3C' /etc/CGI_ds.conf)"
    /usr/share/stowbox/Tcfg/C_File/clockshow /tmp/now
    check "clockshow writes the date and time" \
        "$(grep -Eq '^[0-9]{2}/[0-9]{2}/[0-9]{4}$' /tmp/now && tail -c 8 /tmp/now | grep -Eq '^[0-9]{2}:[0-9]{2}:[0-9]{2}$'; echo $?)"
    /usr/sbin/confagent
    for _ in $(seq 500); do grep -q ':0393 ' /proc/net/udp && break; sleep 0.01; done
    check "confagent serves UDP port 915" "$(ok grep -q ':0393 ' /proc/net/udp)"

    out=$(dpkg -i "$pc_deb" 2>&1)
    check "dpkg -i dssetup next to it" $? "$out"
    out=$(appliance pc -- dssetup discover --timeout 1 2>&1)
    check "the installed dssetup discovers the installed agent" \
        "$(grep -q '^00:C0:02:1A:2B:3C  192.168.0.2 .* JX1A2B3C ' <<< "$out"; echo $?)" "$out"
    out=$(appliance pc -- dssetup show 00:C0:02:1A:2B:3C 2>&1)
    check "and reads its settings" "$(grep -q '^Server name: *JX1A2B3C$' <<< "$out"; echo $?)" "$out"

    kill -TERM "$(cat /var/lock/confagent)"
    out=$(dpkg -r dssetup stowbox-config 2>&1)
    check "dpkg -r both" $? "$out"
    left=""
    for f in "${APPLIANCE_FILES[@]}" /usr/bin/dssetup /usr/share/man/man8/confagent.8.gz; do
        [ -e "$f" ] && left+=" $f"
    done
    check "removal takes every file" "$([ -z "$left" ]; echo $?)" "left:$left"
    finish
    ;;
__pc)
    # A fresh PC: the PC tool alone.
    pc_deb=$2
    out=$(dpkg -i "$pc_deb" 2>&1)
    check "dpkg -i dssetup alone" $? "$out"
    check "dssetup in /usr/bin" "$(dpkg -S /usr/bin/dssetup | grep -q '^dssetup:'; echo $?)"
    check "manual page dssetup(1)" "$(man -w 1 dssetup 2>/dev/null | grep -q '/man1/dssetup.1.gz'; echo $?)"
    check "the PC package brings no appliance program" "$([ ! -e /usr/sbin/confagent ]; echo $?)"
    check "dssetup --help" "$(dssetup --help | grep -q '^usage: dssetup'; echo $?)"
    check "dssetup --version" "$(dssetup --version | grep -qx 'dssetup [0-9.]*'; echo $?)"
    check "bash completion of dssetup" \
        "$([ -f /usr/share/bash-completion/completions/dssetup ]; echo $?)"
    out=$(appliance pc -- dssetup discover --timeout 0.3 2>&1)
    rc=$?
    check "discover on a LAN without appliances: nothing found, exit 1" \
        "$([ "$rc" = 1 ] && grep -q 'dssetup discover: no appliance answered' <<< "$out"; echo $?)" "exit $rc: $out"
    finish
    ;;
esac

SIM=$1
BUILD=$(cd "$2" && pwd)
debs="$BUILD/tests/packaging/debs"
rm -rf "$debs"
mkdir -p "$debs"
out=$(cpack --config "$BUILD/CPackConfig.cmake" -B "$debs" 2>&1)
check "cpack builds the packages" $? "$out"
appliance_deb=$(ls "$debs"/stowbox-config_*.deb 2>/dev/null)
pc_deb=$(ls "$debs"/dssetup_*.deb 2>/dev/null)
check "two packages: stowbox-config and dssetup" "$([ -f "$appliance_deb" ] && [ -f "$pc_deb" ]; echo $?)" "$(ls "$debs")"
[ "$failed" = 0 ] || finish

# Every file that `cmake --install` puts in place is in one of the two packages (an install
# rule without the component of a package would be left out of both).
DESTDIR="$debs/all" cmake --install "$BUILD" --prefix /usr > /dev/null 2>&1
installed=$(cd "$debs/all" && find . -type f | sed 's|^\.||' | sort)
packaged=$(for deb in "$appliance_deb" "$pc_deb"; do dpkg-deb --fsys-tarfile "$deb" | tar -t; done |
           sed -n 's|^\./\(.*[^/]\)$|/\1|p' | sort)
unpackaged=$(comm -23 <(echo "$installed") <(echo "$packaged"))
check "every installed file is in a package" "$([ -n "$installed" ] && [ -z "$unpackaged" ]; echo $?)" \
    "installed but in no package:"$'\n'"$unpackaged"

depends=$(dpkg-deb -f "$appliance_deb" Depends)
if grep -qx 'DS_SANITIZE:BOOL=ON' "$BUILD/CMakeCache.txt"; then
    # The sanitizers' run-time libraries come with a sanitizer build.
    check "$(basename "$appliance_deb"): library dependencies found ($depends)" \
        "$(grep -q 'libc6 (>= ' <<< "$depends"; echo $?)"
else
    check "$(basename "$appliance_deb"): the C library its only dependency ($depends)" \
        "$(grep -Eqx 'libc6 \(>= [0-9.]+\)' <<< "$depends"; echo $?)"
fi
depends=$(dpkg-deb -f "$pc_deb" Depends)
check "$(basename "$pc_deb"): library dependencies found ($depends)" \
    "$(grep -q 'libc6 (>= ' <<< "$depends" && grep -q 'libstdc++6' <<< "$depends"; echo $?)"
for deb in "$appliance_deb" "$pc_deb"; do
    description=$(dpkg-deb -f "$deb" Description)
    check "$(basename "$deb"): a summary and a long description" "$([ "$(wc -l <<< "$description")" -ge 3 ]; echo $?)"
done

script=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
out=$("$SIM" run -- bash "$script" __appliance "$appliance_deb" "$pc_deb" 2>&1)
check "the packages in a simulated appliance" $? "$out"
out=$("$SIM" run -- bash "$script" __pc "$pc_deb" 2>&1)
check "the PC package on a fresh PC" $? "$out"
rm -rf "$debs"
finish
