#!/usr/bin/env bash
# The Ansible example against three stand-ins on loopback: --check sends
# nothing and changes nothing; the run stores the file exact on each, and the
# JUnit callback has a passing testcase for each controller.
# Usage: check-ansible.sh KVR_TRANSFER KVR_CONTROLLER_SIM EXAMPLES_DIR
# Exit 77 (skipped) without ansible-playbook.
set -euo pipefail
kvr=$1
sim=$2
examples=$(realpath "$3")
source "$(dirname "$0")/standins.sh"
begin_check ansible-playbook "ansible-playbook"
export ANSIBLE_LOCAL_TEMP=$work/ansible-tmp ANSIBLE_CONFIG=$examples/ansible/ansible.cfg \
    JUNIT_OUTPUT_DIR=$work/junit

head -c 3000000 /dev/urandom >firmware.bin
addresses=(127.0.0.1:18091 127.0.0.2:18092 127.0.0.3:8080)
{
    echo "[controllers]"
    for at in 0 1 2; do
        echo "bay$((at + 1)) ansible_host=${addresses[$at]%:*} kvr_port=${addresses[$at]##*:}"
    done
} >inventory.ini
for address in "${addresses[@]}"; do
    start_standin "$sim" "$work" "$address"
done
play=(ansible-playbook -i inventory.ini "$examples/ansible/send.yml"
    -e "kvr_transfer=$kvr" -e "kvr_file=$work/firmware.bin" -e "kvr_reports=$work/reports")

"${play[@]}" --check >check.txt || fail "the check run failed: $(cat check.txt)"
[ "$(grep -c "changed=0 .*failed=0" check.txt)" = 3 ] || fail "the check run changed something: $(cat check.txt)"
check_nothing_stored "$work" "${addresses[@]}"

rm -rf junit
"${play[@]}" >run.txt || fail "the run failed: $(cat run.txt)"
[ "$(grep -c "changed=1 .*failed=0" run.txt)" = 3 ] || fail "not every controller changed: $(cat run.txt)"
check_stored "$work" firmware.bin "${addresses[@]}"
junit=$(cat junit/*.xml)
[ "$(grep -o '<testcase[^>]*Send the file' <<<"$junit" | wc -l)" = 3 ] || fail "JUnit: $junit"
! grep -q "<failure" <<<"$junit" || fail "JUnit has a failure: $junit"
echo "PASS: Ansible sent to every controller, its check mode to none"
