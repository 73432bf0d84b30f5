#!/bin/sh
# cashdrawer-agent.exe as a Windows service under Wine: installed, started,
# refusing a second agent on its journal, stopped within its wait hint and
# removed, all through the Service Control Manager. Wine keeps a service
# only while its services.exe lives, so the whole cycle runs in one cmd.
#   agent_service.sh WINE_RUN AGENT_EXE
set -u
wine_run=$1 exe=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-agent-service.XXXXXX")
trap 'rm -rf "$work"' EXIT
folder=$(dirname "$exe")
win_work=$(WINEDEBUG=-all winepath -w "$work" 2>/dev/null | tr -d '\r')
printf '[Agent]\r\nDrawers=RN340_CashA\r\nPollMs=100\r\nJournalFolder=%s\\journal\r\n' "$win_work" >"$work/agent.ini"
cat >"$work/cycle.bat" <<BAT
cashdrawer-agent.exe --config $win_work\\agent.ini service install
reg query HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CashDrawerAgent
cashdrawer-agent.exe service start
sc query CashDrawerAgent
cashdrawer-agent.exe --config $win_work\\agent.ini serve
echo second agent: %ERRORLEVEL%
cashdrawer-agent.exe service stop
sc query CashDrawerAgent
cashdrawer-agent.exe service uninstall
reg query HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CashDrawerAgent
echo event source after uninstall: %ERRORLEVEL%
cashdrawer-agent.exe journal verify $win_work\\journal
BAT
cd "$folder" || exit 1
# Into a file, not a pipe: a Wine program started on the way (services.exe
# and the service itself) would inherit a pipe and hold it open. Bounded:
# a service that never stops fails the test instead of stalling the run.
timeout -k 10 180 "$wine_run" cmd /c "$win_work\\cycle.bat" >"$work/cycle.out" 2>&1
status=$?
output=$(tr -d '\r' <"$work/cycle.out")
[ "$status" -eq 124 ] && echo "FAILED: the cycle did not end within 180 s"
passed=0 failed=0
expect() {
  if printf '%s\n' "$output" | grep -Eq -- "$2"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $1 (no line matching: $2)"
  fi
}
expect "installed" '^installed the service CashDrawerAgent'
expect "event source's messages" 'EventMessageFile +REG_EXPAND_SZ +.*cashdrawer-agent\.exe'
expect "event source's types" 'TypesSupported +REG_DWORD +0x7'
expect "event source gone with the service" '^event source after uninstall: 1'
expect "started" '^started CashDrawerAgent'
expect "running" 'STATE +: 4 +RUNNING'
expect "second agent refused" 'JournalFolder=.*journal.lock: another agent writes this journal'
expect "second agent's exit code" '^second agent: 6'
expect "stopped" '^stopped CashDrawerAgent'
expect "stopped state" 'STATE +: 1 +STOPPED'
expect "removed" '^removed the service CashDrawerAgent'
expect "journal of the run" 'the journal is whole: 3 lines, seq 1 to 3'
log=$(tr -d '\r' <"$work/cashdrawer-agent.log" 2>/dev/null)
if printf '%s\n' "$log" | grep -q 'agent-stopped  reason=asked to stop'; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  echo "FAILED: the service's log beside its settings: $log"
fi
[ "$status" -ne 124 ] || failed=$((failed + 1))
[ "$failed" -eq 0 ] && [ -z "${AGENT_SERVICE_VERBOSE:-}" ] || printf '%s\n' "$output"
echo "agent service: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
