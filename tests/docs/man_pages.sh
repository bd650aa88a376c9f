#!/bin/bash
# man_pages.sh DSSETUP PAGE...: lints every manual page with mandoc, checks that each has the
# sections NAME, SYNOPSIS, DESCRIPTION, EXIT STATUS and EXAMPLES, and that dssetup.1 has a
# subsection for every command of `dssetup --help` and mentions every option of each
# command's help. DSSETUP is "none" in a build without the PC tool (and its page).
set -uo pipefail
dssetup=$1
shift
fail=0
passed=0

command -v mandoc > /dev/null || { echo "mandoc is not installed (see .ci/install-deps)"; exit 1; }

for page in "$@"; do
    ok=1
    out=$(mandoc -T lint -W all "$page" 2>&1)
    if [ -n "$out" ]; then
        echo "FAIL: mandoc finds faults in $page:"; echo "$out"; ok=0
    fi
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" EXAMPLES; do
        grep -qx "\.SH \"\{0,1\}$section\"\{0,1\}" "$page" ||
            { echo "FAIL: $page has no section $section"; ok=0; }
    done
    if [ "$(basename "$page")" = dssetup.1 ]; then
        commands=$("$dssetup" --help | sed -n '/^Commands:/,/^[^ ]/s/^  \([a-z]\{1,\}\).*/\1/p')
        [ -n "$commands" ] || { echo "FAIL: no commands found in dssetup --help"; ok=0; }
        for c in $commands; do
            grep -q "^\.SS $c\b" "$page" ||
                { echo "FAIL: $page has no subsection for the command $c"; ok=0; }
            for option in $("$dssetup" "$c" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
                grep -qF -- "${option//-/\\-}" "$page" ||
                    { echo "FAIL: $page does not mention $option of dssetup $c"; ok=0; }
            done
        done
    fi
    [ "$ok" = 1 ] && passed=$((passed + 1)) || fail=$((fail + 1))
done

echo "$passed passed, $fail failed"
[ "$fail" = 0 ]
