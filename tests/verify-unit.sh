#!/usr/bin/env bash
# systemd-analyze verify on the receiver's template unit, with kvr-transfer
# where this build has it, as an instance: the template alone leaves %i
# unchecked. Exit 77 (skipped) where systemd-analyze is not installed.
# Usage: tests/verify-unit.sh KVR_TRANSFER UNIT_TEMPLATE.in
set -euo pipefail
program=$1
template=$2
command -v systemd-analyze >/dev/null || { echo "no systemd-analyze: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unit="$dir/kvr-transfer-receiver@check.service"
sed "s|@KVR_UNIT_BINDIR@|$(cd "$(dirname "$program")" && pwd)|" "$template" >"$unit"
# The manual page is checked by the package, not here, where it is not
# installed. A line it ignores is only a warning to it; here it fails.
warnings=$(systemd-analyze verify --man=no "$unit" 2>&1) || { echo "$warnings"; exit 1; }
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
echo "systemd-analyze verify: clean"
