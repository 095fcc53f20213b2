#!/bin/sh
# Runs a test program under Wine and keeps Wine's stderr in a file while it
# runs: the debug channels of the program's child processes (message box
# texts) arrive there, and the tests read them back. The file is copied to
# stderr afterwards.
# usage: run_keeping_stderr.sh WINE_LAUNCHER LOG_FILE PROGRAM [ARGS...]
launcher="$1"
log="$2"
shift 2
mkdir -p "$(dirname "$log")"
: >"$log"
"$launcher" "$@" 2>"$log"
status=$?
cat "$log" >&2
exit $status
