#!/bin/bash
# completion.sh DSSETUP COMPLETION: the bash completion of dssetup offers its commands, each
# command's options (and not another's), the MAC addresses the last discover left in the
# cache, the keys of set and their fixed values; and it offers no MAC address, without error,
# when there is no cache.
set -uo pipefail
DSSETUP=$1
COMPLETION=$2
passed=0
failed=0
PATH=$(dirname "$DSSETUP"):$PATH
# shellcheck source=/dev/null
source "$COMPLETION"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_CACHE_HOME=$tmp/cache

offers() {  # offers "WORDS OF THE LINE" EXPECTED...: completing the last word gives these
    local line=$1
    shift
    read -r -a COMP_WORDS <<< "$line"
    [ "${line: -1}" = " " ] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _dssetup 2> "$tmp/err"
    local got=" ${COMPREPLY[*]} " missing="" w
    for w in "$@"; do
        [[ "$got" == *" $w "* ]] || missing+=" $w"
    done
    if [ -z "$missing" ] && [ ! -s "$tmp/err" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: '$line' offers '${COMPREPLY[*]}', not:$missing $(cat "$tmp/err")"
    fi
}
offers_none_of() {  # offers_none_of "LINE" WORD...
    local line=$1
    shift
    read -r -a COMP_WORDS <<< "$line"
    [ "${line: -1}" = " " ] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _dssetup 2> /dev/null
    local got=" ${COMPREPLY[*]} " w
    for w in "$@"; do
        if [[ "$got" == *" $w "* ]]; then
            failed=$((failed + 1))
            echo "FAIL: '$line' offers $w"
            return
        fi
    done
    passed=$((passed + 1))
}

offers "dssetup " discover show set rescue passwd verify print --help --version
offers "dssetup sh" show
offers "dssetup discover --" --timeout --tries --interface --json
offers_none_of "dssetup discover --" --now --from --count
offers "dssetup set 192.168.0.2 --" --now --from --json --timeout --force --no-rollback --confirm
offers "dssetup rescue 00:C0:02:1A:2B:3C --" --now --from --force --confirm
offers_none_of "dssetup rescue 00:C0:02:1A:2B:3C --" --no-rollback --tries
offers "dssetup rescue 00:C0:02:1A:2B:3C --confirm 30 mo" mode=
offers "dssetup set 192.168.0.2 wi" wins= wins-server=
offers "dssetup set 192.168.0.2 mode=" mode=static mode=dhcp
offers "dssetup set 192.168.0.2 name=NAS dhcp-server=o" dhcp-server=on dhcp-server=off
offers "dssetup --json show 192.168.0.2 --tries 3 --" --timeout --interface
# No cache yet: no MAC address, no error.
offers_none_of "dssetup show " 00:C0:02:1A:2B:3C
mkdir -p "$XDG_CACHE_HOME/dssetup"
printf '00:C0:02:1A:2B:3C\n00:C0:02:4C:00:01\n' > "$XDG_CACHE_HOME/dssetup/macs"
offers "dssetup show " 00:C0:02:1A:2B:3C 00:C0:02:4C:00:01
offers "dssetup passwd 00:C0:02:4" 00:C0:02:4C:00:01
offers_none_of "dssetup show 00:C0:02:1A:2B:3C " 00:C0:02:4C:00:01

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
