#!/bin/sh
# Stand-in of the web administration's configuration-editing script:
#   CGI_set_conf.pl FILE SECTION = modify KEY VALUE
# sets "KEY = VALUE" in section [SECTION] of the Samba-style FILE (the first line that assigns
# KEY, compared without regard to case, is replaced; the line is added behind the section's
# header when there is none). KEY and VALUE are data: they reach the file unchanged and never
# a shell or a pattern. A value with a line end in it is refused (exit 2). The file keeps its
# inode. Records the call; exit status settable by a test.
. /usr/lib/sim/standin.sh
sim_record "$0" "$@"
status=$(sim_status)
[ "$status" = 0 ] || exit "$status"
[ $# -eq 6 ] && [ "$3" = "=" ] && [ "$4" = modify ] || exit 2
file=$1
nl='
'
cr=$(printf '\r')
case "$5$6" in
    *"$nl"*|*"$cr"*) exit 2 ;;
esac
[ -f "$file" ] || exit 1
tmp=$(mktemp /tmp/setconf.XXXXXX) || exit 1
SECTION=$2 KEY=$5 VALUE=$6 awk '
    function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }
    BEGIN { section = tolower(ENVIRON["SECTION"]); key = tolower(ENVIRON["KEY"]) }
    {
        line = trim($0)
        if (substr(line, 1, 1) == "[") {
            if (insec && !done) { print "   " ENVIRON["KEY"] " = " ENVIRON["VALUE"]; done = 1 }
            name = tolower(line); sub(/^\[/, "", name); sub(/\].*$/, "", name)
            insec = (trim(name) == section)
            print
            next
        }
        if (insec && !done) {
            eq = index(line, "=")
            if (eq > 0 && tolower(trim(substr(line, 1, eq - 1))) == key) {
                print "   " ENVIRON["KEY"] " = " ENVIRON["VALUE"]
                done = 1
                next
            }
        }
        print
    }
    END { if (insec && !done) print "   " ENVIRON["KEY"] " = " ENVIRON["VALUE"] }
' "$file" > "$tmp" && cat "$tmp" > "$file"
rc=$?
rm -f "$tmp"
exit $rc
