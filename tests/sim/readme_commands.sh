#!/bin/bash
# readme_commands.sh SIM BUILD: runs every command of the code blocks of README.md, as a
# newcomer would type it in the source folder (with this test's build folder for "build"),
# and checks what each shows. A command this test does not know fails it, so a new command
# in the README comes with its check here. `make test` and `make package` are what CI runs
# (checked in .ci/run); `make demo` is run as sim/demo with this build.
set -uo pipefail
SIM=$1
BUILD=$(cd "$2" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
source "$(dirname "${BASH_SOURCE[0]}")/../support/checks.sh"
has() { grep -Eq -- "$1" <<< "$out"; echo $?; }

# The line as run here: this test's build folder for the README's "build".
localize() {
    local s=$1 b
    b=$(printf '%q' "$BUILD")
    s=${s//--build build/--build $b}
    s=${s//--test-dir build/--test-dir $b}
    s=${s//\$PWD\/build\//$b/}
    echo "$s"
}
run() {  # run LINE [STDIN]: out and rc of the line, run in the source folder
    out=$(cd "$SRC" && printf '%s' "${2:-}" | bash -c "$(localize "$1")" 2>&1)
    rc=$?
}

# Command lines of the README's code blocks (indented by four spaces). A comment starting with
# "(inside)" marks a line typed inside the shell opened by the line before.
mapfile -t lines < <(sed -n 's/^    \([^ ].*\)$/\1/p' "$SRC/README.md")
[ ${#lines[@]} -gt 5 ] || { echo "FAIL: no commands found in README.md"; exit 1; }

i=0
while [ "$i" -lt ${#lines[@]} ]; do
    raw=${lines[$i]}
    line=$(sed 's/[[:space:]]*#.*$//' <<< "$raw")
    i=$((i + 1))
    case "$line" in
        "fuzz/run-all")
            check "README: '$line' is run by CI" "$(grep -q '^fuzz/run-all' "$SRC/.ci/run"; echo $?)"
            ;;
        "fuzz/run-all --time 600 net_fuzz")
            # The options as the script takes them (a full run is CI's, too long for a test).
            out=$(cd "$SRC" && fuzz/run-all --help 2>&1)
            check "README: $line" "$(has '--time SECONDS.*HARNESS')" "$out"
            ;;
        "make test"|"make package"|"make cross-test"|"make package TARGET=armel")
            check "README: '$line' is run by CI" "$(grep -qx "$line" "$SRC/.ci/run"; echo $?)"
            ;;
        "make cross")
            check "README: '$line' is run by CI (make cross-test)" \
                "$(grep -q '^cross-test: .*\bcross\b' "$SRC/Makefile" &&
                   grep -qx 'make cross-test' "$SRC/.ci/run"; echo $?)"
            ;;
        "cmake --preset appliance && cmake --build --preset appliance")
            # Built by CI where the PC tool's packages are absent; too long for this test.
            check "README: '$line' is run by CI" \
                "$(grep -q '^ *cmake --preset appliance' "$SRC/.ci/run" &&
                   grep -q '^ *cmake --build --preset appliance' "$SRC/.ci/run"; echo $?)"
            ;;
        "sim/appliance run --ready --build build --target armel -- appliance pc -- dssetup show 192.168.0.2")
            if [ ! -x "$SRC/build-armel/bin/confagent" ]; then
                check "README: $line (no armel build in this source folder)" 0
            else
                run "$line"
                check "README: $line: the ARM agent answers" \
                    "$([ "$rc" = 0 ] && grep -q '^Server name: *JX1A2B3C$' <<< "$out"; echo $?)" "$out"
            fi
            ;;
        "bench/footprint.sh build")
            # This build's programs only (the cross builds' runs under emulation take minutes).
            out=$(cd "$SRC" && bench/footprint.sh "$BUILD" native 2>&1)
            check "README: $line prints sizes, libraries and the agent's memory" \
                "$(has '^confagent +[0-9.]+ KB +.*libc\.so\.6 ')" "$out"
            check "README: $line answers its 1000 requests" \
                "$(has 'after 1000 read-settings requests [0-9]+ KB \(1000 answered')" "$out"
            ;;
        "make demo")
            out=$("$SRC/sim/demo" "$BUILD" 2>&1)
            check "README: make demo (sim/demo) runs through" $? "$out"
            ;;
        "make demo-ui")
            # Runs until interrupted: started here in a process group of its own, used through
            # the address it prints (this machine's loopback), then ended as a terminal's Ctrl-C
            # would, by a signal to that group (SIGTERM: a script's background jobs ignore
            # SIGINT).
            log=$(mktemp)
            # (with four appliances, as COUNT=4 make demo-ui asks: the banner and the list
            # say four, and each can print its test page)
            setsid "$SRC/sim/demo-ui" --count 4 "$BUILD" > "$log" 2>&1 < /dev/null &
            demo=$!
            address=""
            for _ in $(seq 600); do
                address=$(grep -o 'http://127\.0\.0\.1:[0-9]*/#key=[0-9a-f]*' "$log" | head -n 1)
                [ -n "$address" ] && break
                [ -r "/proc/$demo/stat" ] || break
                sleep 0.1
            done
            port=${address#http://127.0.0.1:}
            port=${port%%/*}
            key=${address##*=}
            out=""
            if [ -n "$address" ]; then
                out=$(timeout 20 bash -c '
                    ask() {  # ask PATH [KEY [METHOD]]: the response, from a fresh connection
                        exec 3<> "/dev/tcp/127.0.0.1/$1" || return 1
                        printf "%s %s HTTP/1.1\r\nHost: 127.0.0.1:%s\r\n%b%bConnection: close\r\n\r\n" \
                            "${4:-GET}" "$2" "$1" "${3:+X-DSSetup-Token: $3\r\n}" \
                            "${4:+Content-Length: 0\r\n}" >&3
                        cat <&3
                        exec 3<&-
                    }
                    ask "$1" /
                    for _ in $(seq 50); do
                        list=$(ask "$1" /api/appliances "$2")
                        [ "$(grep -o "00:C0:02:4C:00:0[1-4]" <<< "$list" | sort -u | wc -l)" = 4 ] && break
                        sleep 0.2
                    done
                    echo "$list"
                    ask "$1" /api/appliances/00:C0:02:4C:00:04/print-test "$2" POST' sh "$port" "$key" 2>&1)
            fi
            # Running: there and not a zombie waiting to be reaped.
            running() { [ -r "/proc/$1/stat" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }
            kill -TERM -- "-$demo" 2> /dev/null
            for _ in $(seq 300); do
                running "$demo" || break
                sleep 0.1
            done
            ended=0
            if running "$demo"; then
                ended=1
                kill -KILL -- "-$demo" 2> /dev/null
            fi
            wait "$demo" 2> /dev/null
            check "README: make demo-ui (sim/demo-ui) prints the page's address" \
                "$([ -n "$address" ]; echo $?)" "$(cat "$log")"
            check "README: make demo-ui serves the page to this machine's loopback" \
                "$(has '<title>Storage appliance setup</title>')" "$out"
            check "README: COUNT=4 make demo-ui says and lists its four appliances" \
                "$(grep -q '"mac":"00:C0:02:4C:00:04"' <<< "$out" &&
                   grep -q 'LAN of 4 appliances' "$log"; echo $?)" "$out"
            check "README: make demo-ui's appliances print a test page" \
                "$(awk '/^HTTP\/1.1 /{last=""} {last=last $0 "\n"} END{printf "%s", last}' <<< "$out" |
                   grep -q '"ok":true'; echo $?)" "$out"
            check "README: make demo-ui ends when interrupted" "$ended" "$(cat "$log")"
            rm -f "$log"
            ;;
        "sim/appliance shell --build build")
            # The lines typed inside, and what each must show.
            typed=""
            checks=()
            while [ "$i" -lt ${#lines[@]} ] && grep -q '# (inside)' <<< "${lines[$i]}"; do
                typed+="$(sed 's/[[:space:]]*#.*$//' <<< "${lines[$i]}")"$'\n'
                checks+=("$(sed 's/[[:space:]]*#.*$//' <<< "${lines[$i]}")")
                i=$((i + 1))
            done
            run "$line" "$typed"
            check "README: the shell opens and closes (exit $rc)" "$([ "$rc" = 0 ]; echo $?)" "$out"
            check "README: the shell says it is ready" "$(has '^Ready: /etc/CGI_ds.conf')" "$out"
            for c in "${checks[@]}"; do
                case "$c" in
                    "appliance pc -- dssetup discover")
                        check "README (inside the shell): $c finds the appliance" \
                            "$(has '^00:C0:02:1A:2B:3C +192\.168\.0\.2 +JX1A2B3C +not set$')" "$out" ;;
                    "appliance pc -- dssetup show 00:C0:02:1A:2B:3C")
                        check "README (inside the shell): $c shows its settings" \
                            "$(has '^Server name: +JX1A2B3C$')" "$out" ;;
                    *) check "README: no check for the line typed inside: $c" 1 ;;
                esac
            done
            ;;
        "sim/appliance run --build build -- hostname")
            run "$line"
            check "README: $line" "$([ "$rc" = 0 ] && [ "$out" = JX1A2B3C ]; echo $?)" "$out"
            ;;
        "sim/appliance run --ready --build build -- cat /etc/CGI_ds.conf")
            run "$line"
            check "README: $line shows the first boot's settings" \
                "$([ "$rc" = 0 ] && grep -qx 'hw_addr=00:C0:02:1A:2B:3C' <<< "$out" &&
                   grep -qx 'printer_name=JX1A2B3C_p1' <<< "$out"; echo $?)" "$out"
            ;;
        "sim/appliance lan --count 20 --build build -- dssetup discover")
            run "$line"
            check "README: $line lists 20 appliances" \
                "$([ "$rc" = 0 ] && [ "$(grep -c '^00:C0:02:4C:00:' <<< "$out")" = 20 ]; echo $?)" "$out"
            ;;
        "sim/appliance --help")
            run "$line"
            missing=""
            for c in run shell lan pc on --build --ready --count --target; do
                grep -Eq "^  $c( |$)" <<< "$out" || missing+=" $c"
            done
            check "README: $line explains every command and option" \
                "$([ "$rc" = 0 ] && [ -z "$missing" ] && tail -n 1 <<< "$out" | grep -q '\.$'; echo $?)" \
                "missing:$missing"$'\n'"$out"
            ;;
        "man -l client/dssetup.1")
            out=$(cd "$SRC" && MANPAGER=cat MANWIDTH=80 man -l client/dssetup.1 2>&1)
            check "README: $line" "$(has '^DSSETUP\(1\) ')" "$out"
            ;;
        "ctest --test-dir build -R config_tests.ReaderTest")
            run "$line"
            check "README: $line" "$([ "$rc" = 0 ] && grep -q '100% tests passed' <<< "$out"; echo $?)" "$out"
            ;;
        "ctest --test-dir build -L sim")
            # The whole simulator suite is what this test is part of: only its selection here.
            run "$line -N"
            check "README: $line selects the simulator's tests" \
                "$([ "$rc" = 0 ] && grep -q 'sim.lan_discovers_every_appliance' <<< "$out" &&
                   ! grep -q 'config_tests.ReaderTest' <<< "$out"; echo $?)" "$out"
            ;;
        "sim/appliance run --build build -- \"\$PWD/build/bin/agent_systests\" --gtest_filter='*Identify*'")
            run "$line"
            check "README: $line" "$([ "$rc" = 0 ] && grep -q '^\[  PASSED  \]' <<< "$out"; echo $?)" "$out"
            ;;
        "CRASH_KILLS=1000 ctest --test-dir build -R Crash")
            # Run long elsewhere: only its selection here.
            run "$line -N"
            check "README: $line selects the crash tests" \
                "$([ "$rc" = 0 ] && grep -q 'StoreCrash\.' <<< "$out" &&
                   grep -q 'EventLogCrash\.' <<< "$out"; echo $?)" "$out"
            ;;
        "\"\$PWD/build/bin/config_bench\""|"TMPDIR=/dev/shm \"\$PWD/build/bin/event_log_bench\""|\
        "sim/appliance run --build build -- \"\$PWD/build/bin/cfgsync_bench\"")
            if [ ! -e "$BUILD/bin/config_bench" ] &&
               grep -q '^DS_BUILD_BENCH:BOOL=OFF' "$BUILD/CMakeCache.txt"; then
                check "README: $line (no benchmarks in this build)" 0
            else
                run "$line --benchmark_min_time=0.01"
                check "README: $line runs" \
                    "$([ "$rc" = 0 ] && grep -q '^BM_' <<< "$out" && ! grep -q 'ERROR' <<< "$out";
                       echo $?)" "$out"
            fi
            ;;
        *)
            check "README: this test does not know the command: $raw" 1
            ;;
    esac
done
finish
