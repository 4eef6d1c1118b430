#!/usr/bin/env bash
# The GNU parallel example against four stand-ins on loopback, one of them
# away at first: its job fails and the job log's retry sends to it alone.
# Usage: check-parallel.sh KVR_TRANSFER KVR_CONTROLLER_SIM EXAMPLES_DIR
# Exit 77 (skipped) without GNU parallel.
set -euo pipefail
kvr=$1
sim=$2
examples=$(realpath "$3")
source "$(dirname "$0")/standins.sh"
begin_check parallel "GNU parallel"
export KVR_TRANSFER=$kvr

head -c 3000000 /dev/urandom >firmware.bin
addresses=(127.0.0.1:18081 127.0.0.2:18082 127.0.0.3:8080 127.0.0.4:18084)
printf '# the line\n%s bay 1\n%s bay 2\n%s   bay 3 # spare\n\n%s bay 4\n' "${addresses[@]}" >targets.txt
for address in "${addresses[@]:0:3}"; do
    start_standin "$sim" "$work" "$address"
done

status=0
"$examples/parallel/send-to-targets.sh" firmware.bin targets.txt send.joblog >first.txt || status=$?
[ "$status" = 1 ] || fail "one job should fail, parallel says $status failed: $(cat first.txt)"
[ "$(grep -c '"status":"sent"' first.txt)" = 3 ] || fail "three should be sent: $(cat first.txt)"
check_stored "$work" firmware.bin "${addresses[@]:0:3}"

start_standin "$sim" "$work" "${addresses[3]}"
"$examples/parallel/send-to-targets.sh" firmware.bin targets.txt send.joblog >retry.txt ||
    fail "the retry failed: $(cat retry.txt)"
grep -q "\"target\":\"${addresses[3]}\".*\"status\":\"sent\"\|\"status\":\"sent\".*\"target\":\"${addresses[3]}\"" retry.txt ||
    fail "the retry did not send to ${addresses[3]}: $(cat retry.txt)"
[ "$(grep -c '"event":"target-ended"' retry.txt)" = 1 ] || fail "the retry went to others too"
check_stored "$work" firmware.bin "${addresses[@]}"
echo "PASS: GNU parallel sent to every controller, the one away on the retry"
