# Sourced by the shell tests: counted checks and the summary line that ends a test.
#   check NAME STATUS [DETAILS]   STATUS 0 passes; otherwise NAME (and DETAILS) are printed
#   ok COMMAND...                 the exit status of COMMAND, its output dropped
#   finish                        prints "P passed, F failed" and exits, 0 only if none failed
passed=0
failed=0
check() {
    if [ "$2" = 0 ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1"
        [ -n "${3:-}" ] && echo "$3"
    fi
}
ok() { "$@" > /dev/null 2>&1; echo $?; }
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" = 0 ]
    exit
}
