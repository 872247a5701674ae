#!/usr/bin/env bash
# The test suite on each environment given, several side by side, each in parallel (pytest-xdist;
# the SLURM and the browser tests keep to one worker per group, see their xdist_group marks).
# Each run writes to its own log (build/test-logs/), printed whole when the run ends, so that
# the outputs never interleave; a table of each environment's result and time, and the total,
# comes last. Fails when the suite failed on any environment.
# Usage: scripts/test_environments.sh VENV...   (each with its extensions built in place)
# Settings: TEST_JOBS environments at once (default 2), TEST_WORKERS workers per environment
# (default 2), FUZZ_FULL_ON an environment that runs the randomised tests at their full count.
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${TEST_JOBS:-2}
workers=${TEST_WORKERS:-2}
logs=build/test-logs
# The workers rewrite the tests' assertions before pytest's own warning filters apply.
QUIET_REWRITES=ignore::DeprecationWarning:_pytest.assertion.rewrite
mkdir -p "$logs"
started=$SECONDS
declare -A env_of began status seconds
failed=()

start() {  # venv
    local v=$1 profile=quick log=$logs/${1#.}.log
    [ "$v" = "${FUZZ_FULL_ON:-}" ] && profile=full
    {
        echo "== tests on $v ($("$v/bin/python" scripts/describe_env.py); randomised tests: $profile profile)"
        PYTHONPATH=python QORVEL_FUZZ_PROFILE=$profile PYTHONWARNINGS=$QUIET_REWRITES \
            "$v/bin/python" -m pytest -q -p no:cacheprovider \
            -n "$workers" --dist loadgroup tests
    } >"$log" 2>&1 &
    env_of[$!]=$v
    began[$v]=$SECONDS
}

finish() {  # pid status: prints the environment's log and records its result
    local v=${env_of[$1]}
    seconds[$v]=$((SECONDS - ${began[$v]}))
    if [ "$2" -eq 0 ]; then status[$v]=passed; else status[$v]=FAILED; failed+=("$v"); fi
    cat "$logs/${v#.}.log"
    echo "== $v: ${status[$v]} in ${seconds[$v]} s"
    echo
}

running=0
for v in "$@"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n -p finished; code=$?
        finish "$finished" "$code"
        running=$((running - 1))
    fi
    start "$v"
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n -p finished; code=$?
    finish "$finished" "$code"
    running=$((running - 1))
done

printf '%-13s %-7s %-45s %6s\n' environment result tests time
for v in "$@"; do
    summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|error)|^=+ .* in [0-9.]+s' "$logs/${v#.}.log" | tail -n 1 |
              sed -E 's/^=+ //; s/ =+$//; s/ in [0-9.]+s.*//')
    printf '%-13s %-7s %-45s %4s s\n' "$v" "${status[$v]}" "${summary:-no summary, see $logs/${v#.}.log}" "${seconds[$v]}"
done
printf '%-13s %-7s %-45s %4s s\n' total "" "$jobs environments at once, $workers workers each" $((SECONDS - started))
if [ ${#failed[@]} -gt 0 ]; then
    echo "test: failed on ${failed[*]}" >&2
    exit 1
fi
