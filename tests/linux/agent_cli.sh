#!/bin/sh
# cashdrawer-agent on the simulated library, as an operator runs it: a
# whole open/close cycle journalled, a second agent refused, the stop on
# SIGTERM, a one-byte edit found by verify, and the settings refused with
# their documented exit codes.
#   agent_cli.sh AGENT SIM_LIBRARY_FOLDER [ASAN_RUNTIME]
set -u
agent=$1 sim=$2 asan=${3:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-agent-cli.XXXXXX")
pids=""
trap 'for p in $pids; do kill -9 "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
export LD_LIBRARY_PATH="$sim" CASHDRAWER_SIM_DRAWER_CLOSES_MS=300 ASAN_OPTIONS=detect_leaks=0
[ -n "$asan" ] && export LD_PRELOAD="$asan"
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAILED: $*"; }

settings() { # FILE JOURNAL [EXTRA LINES]
  # No bridge: a developer's own agent may hold the usual port.
  printf '[Agent]\nDrawers=RN340_CashA\nPollMs=20\nBridgePort=0\nJournalFolder=%s\n%s\n[RN340_CashA]\nOpenWhen=1\n' "$2" "${3:-}" >"$1"
}

# A cycle: the agent starts, a confirmed kick from the console opens the
# simulated drawer, which shuts by itself 300 ms later.
settings "$work/agent.ini" "$work/journal"
mkfifo "$work/console"
"$agent" --config "$work/agent.ini" serve <"$work/console" 2>"$work/serve.log" &
serve=$!
pids="$serve"
exec 3>"$work/console"
for i in $(seq 1 100); do grep -q 'closed  drawer=RN340_CashA' "$work/serve.log" && break; sleep 0.05; done
echo "open RN340_CashA --confirm --timeout 1000" >&3
for i in $(seq 1 100); do grep -q 'closed  drawer=RN340_CashA  raw=0  openMs' "$work/serve.log" && break; sleep 0.05; done
# The console's other commands, answered in the serve log.
echo "status" >&3
echo "opne RN340_CashA" >&3
for i in $(seq 1 100); do grep -q 'did you mean open' "$work/serve.log" && break; sleep 0.05; done
grep -Eq '^RN340_CashA: closed \(raw 0\), since seq [0-9]+$' "$work/serve.log" && pass || fail "console status: $(cat "$work/serve.log")"
grep -q '^no command "opne": did you mean open?' "$work/serve.log" && pass || fail "console typo: $(cat "$work/serve.log")"

# A second agent on the same journal is refused, and says why.
"$agent" --config "$work/agent.ini" serve --no-console </dev/null 2>"$work/second.log"
status=$?
if [ "$status" -eq 6 ] && grep -q 'journal.lock: another agent writes this journal' "$work/second.log"; then pass; else
  fail "second agent: exit $status, $(cat "$work/second.log")"; fi

kill -TERM "$serve"
wait "$serve"
status=$?
exec 3>&-
[ "$status" -eq 0 ] && pass || fail "the agent's exit on SIGTERM: $status"
# BridgePort=0 is no bridge at all, not a port the system picks.
grep -q 'web tills reach the bridge' "$work/serve.log" && fail "a bridge with BridgePort=0: $(cat "$work/serve.log")" || pass

kinds=$("$agent" journal show --folder "$work/journal" --json | sed -E 's/.*"kind":"([a-z-]+)".*/\1/' | tr '\n' ' ')
expected="agent-started closed kick opened closed agent-stopped "
[ "$kinds" = "$expected" ] && pass || fail "journal kinds: '$kinds', expected '$expected'"
"$agent" journal show --folder "$work/journal" --json | grep -q '"kind":"kick","drawer":"RN340_CashA","by":"console","confirm":true,"result":1,"outcome":"opened"' \
  && pass || fail "the kick's line: $("$agent" journal show --folder "$work/journal" --json | grep kick)"
since=$("$agent" journal show --folder "$work/journal" --since 4 --json | sed -E 's/^\{"seq":([0-9]+),.*/\1/' | tr '\n' ' ')
[ "$since" = "4 5 6 " ] && pass || fail "journal show --since 4: seqs '$since'"
"$agent" stats --folder "$work/journal" --json >"$work/stats.json"
grep -q '"DrawerGoodOpenCount": 1' "$work/stats.json" && grep -q '"openings": 1' "$work/stats.json" && pass \
  || fail "statistics: $(cat "$work/stats.json")"

out=$("$agent" journal verify "$work/journal" 2>&1)
status=$?
[ "$status" -eq 0 ] && echo "$out" | grep -q 'the journal is whole: 6 lines, seq 1 to 6' && pass || fail "verify: $status $out"

# The local channel: kick, status and events --follow from another
# terminal reach the running agent, and the kick is journalled as this
# account's.
settings "$work/local.ini" "$work/local-journal"
"$agent" --config "$work/local.ini" serve --no-console </dev/null 2>"$work/local.log" &
local_serve=$!
pids="$pids $local_serve"
for i in $(seq 1 600); do grep -q 'reach this agent at' "$work/local.log" && break; sleep 0.05; done
me=$(id -un)
"$agent" --config "$work/local.ini" events --follow >"$work/follow.out" 2>&1 &
follower=$!
pids="$pids $follower"
for i in $(seq 1 600); do grep -q '^following' "$work/follow.out" && break; sleep 0.05; done
local_check() { # NAME EXPECTED_EXIT PATTERN ARGS...
  name=$1 expected=$2 pattern=$3
  shift 3
  output=$("$agent" --config "$work/local.ini" "$@" 2>&1)
  code=$?
  if [ "$code" -eq "$expected" ] && printf '%s\n' "$output" | grep -Eq -- "$pattern"; then pass; else
    fail "$name: exit $code (expected $expected): $output"; fi
}
local_check "local kick" 0 '^kick RN340_CashA: opened \(seq [0-9]+\)$' kick RN340_CashA --confirm --timeout 2000
local_check "local status" 0 '^RN340_CashA: (open|closed) \(raw [01]\), since seq [0-9]+$' status
local_check "local status of a look-alike" 1 'RN340_CashB is not a drawer this agent watches: did you mean RN340_CashA' \
  status RN340_CashB
local_check "local kick of an unknown drawer" 14 "^kick RN340_CashZ: unknown-drawer" kick RN340_CashZ
local_check "local kick with a space" 1 'no spaces' kick 'RN340_CashA --confirm'
for i in $(seq 1 600); do grep -q 'kick  drawer=RN340_CashZ' "$work/follow.out" && break; sleep 0.05; done
grep -q "kick  drawer=RN340_CashA  by=local:$me  confirm=true" "$work/follow.out" && pass ||
  fail "events --follow: $(cat "$work/follow.out")"
kill "$follower"
"$agent" journal show --folder "$work/local-journal" --json | grep -q "\"kind\":\"kick\",\"drawer\":\"RN340_CashA\",\"by\":\"local:$me\"" &&
  pass || fail "the local kick's line: $("$agent" journal show --folder "$work/local-journal" --json | grep kick)"
[ "$(stat -c %a "$work/local-journal/cashdrawer-agent.sock")" = 600 ] && pass || fail "the socket's mode: $(ls -l "$work/local-journal")"
# Another account is refused: by the socket's mode, and by the agent when
# the mode is loosened.
if [ "$(id -u)" -eq 0 ]; then
  chmod 711 "$work" "$work/local-journal"
  chmod 644 "$work/local.ini"
  as_nobody() { setpriv --reuid=65534 --regid=65534 --clear-groups "$agent" --config "$work/local.ini" status 2>&1; }
  output=$(as_nobody)
  code=$?
  [ "$code" -eq 13 ] && echo "$output" | grep -q 'this account may not use' && pass || fail "nobody, mode 0600: $code $output"
  chmod 666 "$work/local-journal/cashdrawer-agent.sock"
  output=$(as_nobody)
  code=$?
  [ "$code" -eq 13 ] && echo "$output" | grep -q 'serves its own account and root only, not nobody' && pass ||
    fail "nobody, mode 0666: $code $output"
  # An account the system has no name for is named by its number.
  output=$(setpriv --reuid=54321 --regid=54321 --clear-groups "$agent" --config "$work/local.ini" status 2>&1)
  code=$?
  [ "$code" -eq 13 ] && echo "$output" | grep -q 'serves its own account and root only, not uid 54321$' && pass ||
    fail "uid 54321, mode 0666: $code $output"
  chmod 600 "$work/local-journal/cashdrawer-agent.sock"
  chmod 700 "$work" "$work/local-journal"
fi

kill -TERM "$local_serve"
wait "$local_serve"
# The stopped agent takes its socket away, and a command then says no
# agent answers.
[ -e "$work/local-journal/cashdrawer-agent.sock" ] && fail "the socket outlives the agent" || pass
local_check "no agent" 13 'no agent answers here' status

# Pairing: a fresh 8-digit code, kept only as its hash in a file for the
# agent's account alone; nothing paired yet, so there is nothing to revoke.
out=$("$agent" --config "$work/agent.ini" pair)
code=$(echo "$out" | sed -nE 's/^pairing code: ([0-9]{8})$/\1/p')
mode=$(stat -c %a "$work/journal/pairing-code.json" 2>/dev/null)
if [ -n "$code" ] && [ "$mode" = 600 ] && ! grep -q "$code" "$work/journal/pairing-code.json"; then pass; else
  fail "pair: '$out', the code file's mode $mode"; fi
# Started without standard input (a service manager's way): the code file
# may be descriptor 0, and is a file like any other.
out=$("$agent" --config "$work/agent.ini" pair 0<&- 2>&1)
echo "$out" | grep -Eq '^pairing code: [0-9]{8}$' && pass || fail "pair without standard input: $out"
out=$("$agent" pair --list --folder "$work/journal")
[ "$out" = "no web till is paired" ] && pass || fail "pair --list: $out"
out=$("$agent" pair --revoke https://till.example --folder "$work/journal" 2>&1)
status=$?
[ "$status" -eq 8 ] && [ "$out" = "cashdrawer-agent: https://till.example is not paired" ] && pass \
  || fail "pair --revoke of an origin not paired: $status $out"

# One byte changed in line 4: verify names that line and exits 4.
file="$work/journal/journal-000001.jsonl"
sed -i '4s/"raw":1/"raw":0/' "$file"
out=$("$agent" journal verify "$work/journal" 2>&1)
status=$?
[ "$status" -eq 4 ] && echo "$out" | grep -q 'journal-000001.jsonl line 4 (seq 4): the line was changed' && pass \
  || fail "verify after an edit: $status $out"

# A folder that is not there is not an altered journal: its own exit code,
# 10, from verify, show and stats alike, the folder named once.
for command in "journal verify $work/nowhere" "journal show --folder $work/nowhere" "stats --folder $work/nowhere"; do
  out=$($agent $command 2>&1 >/dev/null)
  status=$?
  [ "$status" -eq 10 ] && [ "$(echo "$out" | grep -o "$work/nowhere" | wc -l)" -eq 1 ] \
    && echo "$out" | grep -q 'no such journal folder' && pass || fail "$command: $status $out"
done

# A journal that can grow no further (RLIMIT_FSIZE, as a full disk): the
# agent serves on, says the journal fails, answers kicks unjournalled, and
# leaves only whole lines. Its log goes through a pipe, which the limit
# does not touch.
settings "$work/full.ini" "$work/full-journal"
mkfifo "$work/full-console" "$work/full-log"
cat "$work/full-log" >"$work/full.log" &
logger=$!
prlimit --fsize=700 "$agent" --config "$work/full.ini" serve <"$work/full-console" 2>"$work/full-log" &
full=$!
pids="$pids $full"
exec 4>"$work/full-console"
for i in $(seq 1 100); do grep -q 'closed  drawer=RN340_CashA' "$work/full.log" && break; sleep 0.05; done
echo "open RN340_CashA" >&4
echo "open RN340_CashA" >&4
for i in $(seq 1 100); do [ "$(grep -c 'not journalled' "$work/full.log")" -ge 2 ] && break; sleep 0.05; done
kill -TERM "$full"
wait "$full"
wait "$logger"
exec 4>&-
grep -q 'the journal is failing, events wait unpublished: .*journal-000001.jsonl: File too large' "$work/full.log" && pass \
  || fail "full journal: $(cat "$work/full.log")"
[ "$(grep -c 'open RN340_CashA: kicked (1), not journalled' "$work/full.log")" -eq 2 ] && pass \
  || fail "kicks while the journal is full: $(cat "$work/full.log")"
out=$("$agent" journal verify "$work/full-journal" 2>&1)
[ $? -eq 0 ] && pass || fail "the full journal's lines: $out"

# A journal cut while the agent was stopped (its file deleted): the next
# start journals a journal-cut alarm at a seq past every one used, serves
# on, and verify, the health's alarms and the acknowledgement say so.
run_briefly() { # SETTINGS LOG
  "$agent" --config "$1" serve --no-console </dev/null 2>"$2" &
  brief=$!
  for i in $(seq 1 100); do grep -q 'closed  drawer=RN340_CashA' "$2" && break; sleep 0.05; done
  kill -TERM "$brief"
  wait "$brief"
}
settings "$work/cut.ini" "$work/cut-journal"
run_briefly "$work/cut.ini" "$work/cut1.log"
rm "$work/cut-journal/journal-000001.jsonl"
run_briefly "$work/cut.ini" "$work/cut2.log"
[ $? -eq 0 ] && grep -q '^seq 68  .*journal-cut  problem=the journal ends at seq 0, before seq 3, its last line when it was last closed' "$work/cut2.log" \
  && pass || fail "the start after a cut: $(cat "$work/cut2.log")"
# (The statistics saved at the first stop cover a line that is gone.)
grep -q 'statistics-snapshot.json (to seq 3) does not match the journal: the statistics are counted again from its start' "$work/cut2.log" \
  && pass || fail "the statistics after a cut: $(cat "$work/cut2.log")"
out=$("$agent" journal verify "$work/cut-journal" 2>&1)
status=$?
[ "$status" -eq 11 ] && echo "$out" | grep -q '  seq 68 journal-cut: the journal ends at seq 0' && pass || fail "verify of a cut journal: $status $out"
out=$("$agent" journal alarms --folder "$work/cut-journal" 2>&1)
echo "$out" | grep -Eq '^seq 68  20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9:.]{12}Z  journal-cut  OPEN$' && echo "$out" | grep -q '^    the journal ends at seq 0, before seq 3,' \
  && pass || fail "the open alarms: $out"
out=$("$agent" journal alarms --folder "$work/cut-journal" --acknowledge 69 2>&1)
[ $? -eq 1 ] && echo "$out" | grep -q 'no alarm at seq 69' && pass || fail "acknowledging the seq after the alarm: $out"
USER=technician-7 "$agent" journal alarms --folder "$work/cut-journal" --acknowledge 68 | grep -q 'acknowledged the alarm at seq 68' \
  && pass || fail "the acknowledgement"
"$agent" journal alarms --folder "$work/cut-journal" | grep -Eq '^seq 68  .*  journal-cut  acknowledged by technician-7 20[0-9]{2}-[0-9]{2}-[0-9]{2}T' && pass \
  || fail "the alarm acknowledged: $("$agent" journal alarms --folder "$work/cut-journal")"
# A journal folder every account may write to is refused (exit 5), before
# anything is made in it.
mkdir -m 777 "$work/open-journal"
chmod 777 "$work/open-journal"
settings "$work/open.ini" "$work/open-journal"
"$agent" --config "$work/open.ini" serve --no-console </dev/null 2>"$work/open.log"
status=$?
[ "$status" -eq 5 ] && grep -q 'refused: every account may write to the folder' "$work/open.log" && [ ! -e "$work/open-journal/journal.lock" ] \
  && pass || fail "a folder every account writes: exit $status, $(cat "$work/open.log")"

# This build has its MQTT client: the help offers the head office's watch.
"$agent" --help 2>&1 | grep -q '^  fleet .*from an MQTT broker$' && pass \
  || fail "the help's fleet line: $("$agent" --help 2>&1 | grep fleet)"
# The watch's defaults, as its help states them: a table every 5 s, until interrupted.
watch_help=$("$agent" fleet watch --help 2>&1)
echo "$watch_help" | grep -q -- '--every UINT=5 ' && echo "$watch_help" | grep -q -- '--for UINT=0 ' && pass \
  || fail "the watch's defaults: $watch_help"

# Settings that cannot be meant: exit 2, naming file, key and value.
check_settings() { # NAME EXTRA_LINES DRAWER PATTERN EXIT
  printf '[Agent]\nDrawers=%s\nJournalFolder=%s\n%s\n' "$3" "$work/j2" "$2" >"$work/bad.ini"
  "$agent" --config "$work/bad.ini" serve --no-console </dev/null 2>"$work/bad.log"
  status=$?
  if [ "$status" -eq "$5" ] && grep -Eq -- "$4" "$work/bad.log"; then pass; else fail "$1: exit $status, $(cat "$work/bad.log")"; fi
}
check_settings "poll of 0" "PollMs=0" RN340_CashA "bad.ini: \[Agent\] PollMs=0: a whole number from 10 to 60000" 2
check_settings "unknown drawer" "" RN340_Cash "bad.ini: \[Agent\] Drawers: RN340_Cash is not a drawer" 2
# `check` says what the settings mean, and exits non-zero when they are wrong:
# 0 good, 12 a key the agent does not read, 2 a value refused or a drawer the
# library does not know.
check_command() { # NAME EXTRA_LINES DRAWER EXIT PATTERN
  printf '[Agent]\nDrawers=%s\nJournalFolder=%s\n%s\n' "$3" "$work/j2" "$2" >"$work/check.ini"
  "$agent" --config "$work/check.ini" check >"$work/check.log" 2>&1
  status=$?
  if [ "$status" -eq "$4" ] && grep -Eq -- "$5" "$work/check.log"; then pass; else fail "check, $1: exit $status, $(cat "$work/check.log")"; fi
}
check_command "good" "PollMs=50" RN340_CashA 0 "poll: every 50 ms"
check_command "good, its drawer" "PollMs=50" RN340_CashA 0 "drawer RN340_CashA: open when its state bit is not set"
check_command "misspelt key" "PolMs=50" RN340_CashA 12 "line 4: \[Agent\] PolMs is no setting the agent reads: did you mean PollMs\?"
check_command "misspelt key, its default" "PolMs=50" RN340_CashA 12 "poll: every 100 ms"
check_command "value refused" "PollMs=9" RN340_CashA 2 "PollMs=9: a whole number from 10"
check_command "unknown drawer" "" RN340_Cash 2 "drawer RN340_Cash: .*NOT a drawer whose state the library reads"
# The same misspelt key warned of when the agent serves (here up to the
# library, which is not there).
check_settings "warned at serve" "PolMs=50
Library=$work/none.so" RN340_CashA "line 4: \[Agent\] PolMs is no setting the agent reads" 3
# A bridge port another program holds: exit 9, naming the port.
/usr/bin/python3 -c 'import socket,sys,time; s=socket.socket(); s.bind(("127.0.0.1",0)); s.listen(); print(s.getsockname()[1], flush=True); time.sleep(30)' >"$work/held-port" &
holder=$!
pids="$pids $holder"
for i in $(seq 1 100); do [ -s "$work/held-port" ] && break; sleep 0.05; done
held=$(cat "$work/held-port")
check_settings "bridge port held" "BridgePort=$held" RN340_CashA "bad.ini: \[Agent\] BridgePort=$held: the bridge cannot listen" 9
kill "$holder"
touch "$work/file"
printf '[Agent]\nDrawers=RN340_CashA\nJournalFolder=%s/file/journal\n' "$work" >"$work/bad.ini"
"$agent" --config "$work/bad.ini" serve --no-console </dev/null 2>"$work/bad.log"
status=$?
[ "$status" -eq 5 ] && grep -q 'JournalFolder=.*file/journal: .*Not a directory' "$work/bad.log" && pass \
  || fail "journal folder that cannot be made: exit $status, $(cat "$work/bad.log")"
"$agent" --config "$work/missing.ini" serve --no-console </dev/null 2>"$work/bad.log"
status=$?
[ "$status" -eq 2 ] && grep -q 'missing.ini: the settings file cannot be read' "$work/bad.log" && pass \
  || fail "missing settings: exit $status"

echo "agent command line: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
