#!/bin/sh
# dpal-sim as a person runs it: the built-in day, a scenario file, --trace, and the exit codes
# for a failed check (1) and for input it cannot use (2).
#   dpal_sim_cli.sh DPAL_SIM SCENARIO_DIR
dpal_sim="$1"
scenarios="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0

# expect_run NAME CODE PATTERN ARGS...: runs dpal-sim with ARGS; it must exit with CODE and
# print (on stdout or stderr) a line matching PATTERN.
expect_run() {
  name="$1" code="$2" pattern="$3"
  shift 3
  "$dpal_sim" "$@" >"$work/out" 2>&1
  got=$?
  if [ "$got" -ne "$code" ]; then
    echo "FAIL $name: exit code $got, expected $code"
    tail -n 20 "$work/out"
    failures=$((failures + 1))
  elif ! grep -Eq -- "$pattern" "$work/out"; then
    echo "FAIL $name: no line matches '$pattern'"
    tail -n 20 "$work/out"
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

expect_run "built-in day" 0 \
  '^day complete: 7 launches, 11 status reports, install state none, the service removed, 8 items differ from before the install$'
expect_run "scenario file" 0 '^refused-program complete: ' "$scenarios/refused-program.dpal"
expect_run "the day file is the built-in day" 0 '^day complete: 7 launches' "$scenarios/day.dpal"
expect_run "--trace shows platform calls" 0 'call +\[t[0-9]+ watch\] RegNotifyChangeKeyValue\(' \
  --trace "$scenarios/refused-program.dpal"
expect_run "--help" 0 'usage: dpal-sim' --help

printf 'boot\nlogon alice\nexpect launches /verifyprofile\n' >"$work/wrong.dpal"
expect_run "a failed check" 1 'FAILED: /i' "$work/wrong.dpal"
printf 'boot\nlogon\n' >"$work/bad.dpal"
expect_run "a bad line" 2 'bad.dpal:2: ' "$work/bad.dpal"
expect_run "an unknown option" 2 "unknown option '--fast'" --fast
expect_run "a missing file" 2 'cannot read the scenario file' "$work/missing.dpal"
expect_run "two files" 2 'one scenario file at a time' "$work/bad.dpal" "$work/wrong.dpal"

echo "$failures failed"
[ "$failures" -eq 0 ]
