#!/usr/bin/env bash
# Checks of tools/py314 itself, run on the host: exit status, working folder,
# the interpreter version, concurrent runs, and no bind mount left behind.
set -u
cd "$(dirname "$0")/../.."
py314=tools/py314
passed=0
failed=0

check() {
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name" >&2; fi
}

# Mount points of this checkout's runs (other checkouts may be in use meanwhile).
key=$(echo "$PWD" | sha256sum | cut -c1-12)
mounts() { grep -c "/run/pxvorel/$key-" /proc/mounts || true; }

before=$(mounts)
check "runs Python 3.14" test "$($py314 python3 -c 'import sys; print(sys.version_info[:2])' 2>/dev/null)" = "(3, 14)"
check "passes a failing status through" bash -c "$py314 sh -c 'exit 7' 2>/dev/null; test \$? -eq 7"
check "passes success through" $py314 true
check "runs in the calling folder" test "$(cd tests && ../$py314 sh -c 'basename "$PWD"' 2>/dev/null)" = tests
check "imports the installed package" $py314 python3 -c 'import numpy, pybind11'
# Two runs at once, each seeing the checkout, neither disturbing the other.
$py314 sh -c 'sleep 2; test -f Makefile' 2>/dev/null & first=$!
$py314 sh -c 'sleep 1; test -f Makefile' 2>/dev/null & second=$!
check "concurrent run 1" wait $first
check "concurrent run 2" wait $second
# A run ended by a signal still unmounts.
$py314 sleep 30 2>/dev/null & interrupted=$!
sleep 1
kill -TERM $interrupted; wait $interrupted 2>/dev/null
check "leaves no bind mount behind" test "$(mounts)" = "$before"

# Ctrl-C reaches the command: it starts with Python's SIGINT handler (not the
# ignored SIGINT of a shell's background child), and SIGINT sent to the script
# arrives as SIGINT. (env: this script's own background jobs ignore SIGINT.)
check "the command starts with SIGINT handled" \
  $py314 python3 -c 'import signal, sys; sys.exit(signal.getsignal(signal.SIGINT) is not signal.default_int_handler)'
# The command says when it runs (the chroot may first bring its packages up to date).
ready=$(mktemp -u tests/tools/.ready.XXXXXX)
env --default-signal=INT $py314 python3 -c '
import pathlib, sys, time
pathlib.Path(sys.argv[1]).touch()
try:
    time.sleep(60)
except KeyboardInterrupt:
    sys.exit(42)' "$ready" 2>/dev/null & forwarded=$!
for _ in $(seq 600); do [ -e "$ready" ] && break; sleep 0.1; done
rm -f "$ready"
kill -INT $forwarded
wait $forwarded
check "SIGINT to the script reaches the command as SIGINT" test $? = 42

echo "py314: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
