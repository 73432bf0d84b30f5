#!/bin/sh
# The Windows agent's bridge under Wine, reached from a client on the host
# as a web till's browser would reach it: health, pairing with the code the
# agent's pair command shows, a kick journalled with the page's origin and
# seen on the event stream, and another origin refused.
#   agent_bridge.sh WINE_RUN AGENT_EXE PIPE_SECURITY_PROBE_EXE
set -u
wine_run=$1 exe=$2 probe=$3
command -v curl >/dev/null 2>&1 || { echo "agent_bridge.sh: curl is needed (scripts/test.sh installs it)"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-agent-bridge.XXXXXX")
agent=""
trap '[ -n "$agent" ] && kill "$agent" 2>/dev/null; rm -rf "$work"' EXIT
port=$((22000 + $$ % 20000))
url="http://127.0.0.1:$port"
win_work=$(WINEDEBUG=-all winepath -w "$work" 2>/dev/null | tr -d '\r')
printf '[Agent]\r\nDrawers=RN340_CashA\r\nPollMs=100\r\nJournalFolder=%s\\journal\r\nBridgePort=%s\r\nKickGuardMs=0\r\n' \
  "$win_work" "$port" >"$work/agent.ini"
cd "$(dirname "$exe")" || exit 1
"$wine_run" cashdrawer-agent.exe --config "$win_work\\agent.ini" serve --no-console >"$work/serve.log" 2>&1 </dev/null &
agent=$!
passed=0 failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); printf 'FAILED: %s\n' "$*"; }

health=""
for i in $(seq 1 150); do
  health=$(curl -s --max-time 2 -H 'Origin: http://till.test' "$url/v1/health") && [ -n "$health" ] && break
  sleep 0.2
done
echo "$health" | grep -q '"agent":"cashdrawer-agent".*"paired":false' && pass || fail "health: '$health' $(tr -d '\r' <"$work/serve.log")"

code=$("$wine_run" cashdrawer-agent.exe --config "$win_work\\agent.ini" pair 2>&1 | tr -d '\r' | sed -nE 's/^pairing code: ([0-9]{8})$/\1/p')
paired=$(curl -s --max-time 5 -H 'Origin: http://till.test' -H 'Content-Type: application/json' -d "{\"code\":\"$code\"}" "$url/v1/pair")
token=$(echo "$paired" | sed -nE 's/.*"token":"([0-9a-f]{64})".*/\1/p')
[ -n "$token" ] && pass || fail "pairing with code '$code': $paired"

curl -s -N --max-time 4 -H 'Origin: http://till.test' -H "Authorization: Bearer $token" -H 'Last-Event-ID: 0' \
  "$url/v1/events" >"$work/events.txt" &
stream=$!
sleep 1
kick=$(curl -s --max-time 10 -H 'Origin: http://till.test' -H "Authorization: Bearer $token" -H 'Content-Type: application/json' \
  -H 'Idempotency-Key: wine-1' -d '{"confirm":false}' "$url/v1/drawers/RN340_CashA/open")
echo "$kick" | grep -Eq '^\{"drawer":"RN340_CashA","confirm":false,"result":-?[0-9]+,"outcome":"[a-z-]+".*"seq":[0-9]+\}$' \
  && pass || fail "the kick's answer: $kick"
wait "$stream"
grep -q '^event: kick$' "$work/events.txt" && grep -q '"by":"http://till.test"' "$work/events.txt" && grep -q '^id: 1$' "$work/events.txt" \
  && pass || fail "the event stream: $(cat "$work/events.txt")"

# The technician's commands through the agent's named pipe: a kick
# journalled as the local account's, and the drawers' states.
local_kick=$("$wine_run" cashdrawer-agent.exe --config "$win_work\\agent.ini" kick RN340_CashA 2>&1 | tr -d '\r')
printf "%s\n" "$local_kick" | grep -Eq '^kick RN340_CashA: [a-z-]+.* \(seq [0-9]+\)$' && pass || fail "local kick: $local_kick"
local_status=$("$wine_run" cashdrawer-agent.exe --config "$win_work\\agent.ini" status RN340_CashA 2>&1 | tr -d '\r')
printf "%s\n" "$local_status" | grep -Eq '^RN340_CashA: ' && pass || fail "local status: $local_status"
"$wine_run" cashdrawer-agent.exe --config "$win_work\\agent.ini" journal show --json 2>/dev/null | tr -d '\r' |
  grep -q '"kind":"kick","drawer":"RN340_CashA","by":"local:[^"]' && pass ||
  fail "the local kick's line: $("$wine_run" cashdrawer-agent.exe --config "$win_work\\agent.ini" journal show --json 2>&1)"

# The pipe's security as the system holds it: network logons denied,
# SYSTEM, the administrators and the owner granted, and nobody else (no
# Everyone, no Users, no Authenticated Users).
pipe=$(tr -d '\r' <"$work/serve.log" | sed -nE 's/.*reach this agent at (.*)$/\1/p')
dacl=$("$wine_run" "$probe" "$pipe" 2>&1 | tr -d '\r')
printf "%s\n" "$dacl" | grep -q '^D:P(D;;[A-Z]*;;;NU)' && printf "%s\n" "$dacl" | grep -q '(A;;[A-Z]*;;;SY)' &&
  printf "%s\n" "$dacl" | grep -q '(A;;[A-Z]*;;;BA)' && ! printf "%s\n" "$dacl" | grep -Eq ';;;(WD|BU|AU|IU)\)' && pass ||
  fail "the pipe's security ($pipe): $dacl"
printf 'pipe security: %s\n' "$dacl"

drawers=$(curl -s --max-time 5 -H 'Origin: http://till.test' -H "Authorization: Bearer $token" "$url/v1/drawers")
echo "$drawers" | grep -q '"id":"RN340_CashA"' && pass || fail "drawers: $drawers"
other=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 -H 'Origin: https://other.example' -H "Authorization: Bearer $token" "$url/v1/drawers")
[ "$other" = 403 ] && pass || fail "another origin with the token: $other"
rebound=$(curl -s -o /dev/null -w '%{http_code}' --max-time 5 -H "Host: rebind.test:$port" "$url/v1/health")
[ "$rebound" = 403 ] && pass || fail "a rebound host name: $rebound"

echo "agent bridge: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
