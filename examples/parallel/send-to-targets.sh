#!/usr/bin/env bash
# Sends FILE to every controller of TARGETS with GNU parallel: one job per
# controller, JOBS (default 4) at a time, each job's exit code in the job
# log and each controller's result in REPORTS/N.json. Run it again with the
# same job log and only the jobs that failed run again.
# Usage: send-to-targets.sh FILE TARGETS [JOBLOG]
#   KVR_TRANSFER: the tool (default kvr-transfer)
set -euo pipefail

file=$1
targets=$2
joblog=${3:-send.joblog}
reports=${REPORTS:-reports}
mkdir -p "$reports"

if [ -s "$joblog" ]; then
    # The job log holds each job's command line.
    exec parallel --retry-failed --joblog "$joblog" --line-buffer
fi
# Comments and blank lines out; a line, label and all, is one --to, which
# parallel passes as one argument. --report makes every JSON event name its
# controller.
sed -e 's/#.*//' -e 's/^[[:space:]]*//' -e 's/[[:space:]]*$//' -e '/^$/d' "$targets" |
    parallel --jobs "${JOBS:-4}" --joblog "$joblog" --line-buffer \
        "${KVR_TRANSFER:-kvr-transfer}" send "$file" --to {} --json --report "$reports/{#}.json"
