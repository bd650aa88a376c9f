#!/bin/sh
# Stand-in of the web administration's time-zone script: Set_TimeZone.pl NUMBER. Records the
# call, keeps the number in /var/lib/sim/timezone and stores it as time_zone in section
# [network] of /etc/CGI_ds.conf (in place, under the file's exclusive lock), as the web
# administration does. Exit status settable by a test; 2 for an argument that is not a number.
. /usr/lib/sim/standin.sh
sim_record "$0" "$@"
sim_hold
status=$(sim_status)
[ "$status" = 0 ] || exit "$status"
[ $# -eq 1 ] || exit 2
case "$1" in
    ''|-|*[!0-9-]*|?*-*) exit 2 ;;
esac
mkdir -p /var/lib/sim
printf '%s\n' "$1" > /var/lib/sim/timezone
conf=/etc/CGI_ds.conf
[ -f "$conf" ] || exit 0
(
    flock -x 9 || exit 1
    tmp=$(mktemp /tmp/tz.XXXXXX) || exit 1
    ZONE=$1 awk '
        /^\[/ {
            if (insec && !done) { print "time_zone=" ENVIRON["ZONE"]; done = 1 }
            insec = ($0 == "[network]")
        }
        insec && /^time_zone=/ { if (!done) print "time_zone=" ENVIRON["ZONE"]; done = 1; next }
        { print }
        END { if (!done) print "time_zone=" ENVIRON["ZONE"] }
    ' "$conf" > "$tmp" && cat "$tmp" > "$conf"
    rc=$?
    rm -f "$tmp"
    exit $rc
) 9< "$conf"
