# Sourced by every stand-in of a platform program in the simulated appliance.
#
#   . /usr/lib/sim/standin.sh
#   sim_record "$0" "$@"          # one line "PATH ARG..." in the calls log
#   sim_hold                      # waits while /var/lib/sim/hold/NAME exists
#   exit "$(sim_status)"          # 0, or what a test put in /var/lib/sim/status/NAME

SIM_CALLS=/var/log/sim/calls

sim_record() {
    mkdir -p /var/log/sim
    printf '%s\n' "$*" >> "$SIM_CALLS"
}

# Exit status a test asked this stand-in to give (file named after the program).
sim_status() {
    f="/var/lib/sim/status/$(basename "$0")"
    if [ -f "$f" ]; then cat "$f"; else echo 0; fi
}

# Waits while a test holds this stand-in back (file /var/lib/sim/hold/NAME), at most 60 s.
sim_hold() {
    f="/var/lib/sim/hold/$(basename "$0")"
    i=0
    while [ -e "$f" ] && [ $i -lt 600 ]; do
        sleep 0.1
        i=$((i + 1))
    done
}
