#!/bin/sh
# Stand-in of the web administration's password-check script (a shell script in the
# simulated appliance). Usage: CGI_chk_save_pass.pl OP PASSWORD
#   OP 0: store PASSWORD (the empty password removes the stored one); exit 0 when stored.
#   OP 1: exit 0 when PASSWORD is the stored one (the empty password when none is stored).
# The password is kept as a salted SHA-256 hash in /etc/sim/admin.pass, never in clear; the
# calls log gets the operation and the argument count only.
. /usr/lib/sim/standin.sh
sim_record "$0" "op=$1" "argc=$#"

status=$(sim_status)
if [ "$status" != 0 ]; then
    exit "$status"
fi
[ $# -eq 2 ] || exit 2

store=/etc/sim/admin.pass
op=$1
password=$2

hash_of() { # SALT PASSWORD
    printf '%s:%s' "$1" "$2" | sha256sum | cut -d' ' -f1
}

case "$op" in
0)
    mkdir -p /etc/sim || exit 1
    if [ -z "$password" ]; then
        rm -f "$store"
        exit $?
    fi
    salt=$(od -An -tx1 -N8 /dev/urandom | tr -d ' \n')
    umask 077
    printf '%s %s\n' "$salt" "$(hash_of "$salt" "$password")" > "$store.new" &&
        mv -f "$store.new" "$store"
    ;;
1)
    if [ ! -s "$store" ]; then
        [ -z "$password" ]
        exit $?
    fi
    read -r salt hash < "$store" || exit 1
    [ "$(hash_of "$salt" "$password")" = "$hash" ]
    ;;
*)
    exit 2
    ;;
esac
