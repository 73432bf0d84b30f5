#!/bin/sh
# The fleet publisher against a real broker: Debian's mosquitto, started
# here on a free loopback port and stopped after, with a head-office
# subscriber (mosquitto_sub, a persistent QoS 1 session) that checks every
# seq against the terminal's journal.
#   fleet_test.sh SCENARIO AGENT SIM_LIBRARY_FOLDER [WINE_RUN]
# SCENARIO: health-and-will | outage | restart-in-outage | failures |
#           windows-failures
# With WINE_RUN, AGENT is the Windows agent, run under Wine on the test bed
# in SIM_LIBRARY_FOLDER (the DLL beside the stand-ins for its hardware
# libraries), publishing over the broker's WebSocket listener.
set -u
scenario=$1 agent=$2 sim=$3 wine_run=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
for tool in mosquitto mosquitto_sub mosquitto_passwd curl; do
  command -v $tool >/dev/null 2>&1 || { echo "fleet_test.sh: $tool is needed (scripts/test.sh installs it)"; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/cashdrawer-fleet.XXXXXX")
pids=""
cleanup() {
  [ -n "${KEEP:-}" ] && { cp -r "$work" /tmp/fleet-kept; }
  # The Windows agent runs as a Wine process of its own, named by its
  # settings' path.
  [ -n "$wine_run" ] && pkill -KILL -f "$(basename "$work").*serve" 2>/dev/null
  # TERM first: timeout passes it on to the broker it runs (a KILL would
  # leave that broker behind), then KILL for anything that did not go.
  for p in $pids; do kill "$p" 2>/dev/null; done
  sleep 0.3
  for p in $pids; do kill -9 "$p" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP
export LD_LIBRARY_PATH="$sim" CASHDRAWER_SIM_DRAWER_CLOSES_MS=120 ASAN_OPTIONS=detect_leaks=1
python=/usr/bin/python3
failed=0
fail() { failed=$((failed + 1)); echo "FAILED: $*"; }
say() { echo "--- $*"; }

# A free port below the system's ephemeral range: the broker is stopped and
# started again on its port, and a port from that range could meanwhile be
# the local end of any outgoing connection on the machine (or be handed to
# another test asking for a free one), leaving the restart "already in use".
free_port() {
  $python - <<'PY'
import random, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
ports = range(10000, low) if low > 11000 else range(1024, 65536)
for port in random.sample(ports, 200):
    try:
        socket.socket().bind(("127.0.0.1", port))
    except OSError:
        continue
    print(port)
    break
PY
}
# wait_for SECONDS COMMAND...: true once the command succeeds.
wait_for() {
  limit=$(($1 * 20)); shift
  i=0
  while [ $i -lt $limit ]; do "$@" >/dev/null 2>&1 && return 0; sleep 0.05; i=$((i + 1)); done
  return 1
}
listening() { $python -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1)"; }

# What differs for the Windows agent: its paths, how it is run and kicked,
# the broker's listener it reaches and the system's words for a refusal.
if [ -n "$wine_run" ]; then
  work_path=$(WINEDEBUG=-all winepath -w "$work" 2>/dev/null | tr -d '\r')
  sep='\'
  # (its exit status kept through the filter that drops Windows' line ends)
  run_agent() {
    { "$wine_run" "$agent" "$@"; echo $? >"$work/status"; } | tr -d '\r'
    return "$(cat "$work/status")"
  }
  library_line="Library=$(WINEDEBUG=-all winepath -w "$sim" 2>/dev/null | tr -d '\r')\\Cash_Drawer_DLL.dll"
  scheme=ws secure_scheme=wss url_path=/mqtt
  refused_words='the broker cannot be reached: the connection was refused or timed out'
else
  work_path=$work sep=/
  run_agent() { "$agent" "$@"; }
  library_line=""
  scheme=mqtt secure_scheme=mqtts url_path=""
  refused_words='the broker cannot be reached: Connection refused'
fi
# The broker's listener for terminals.
terminal_listener() {
  printf 'listener %s 127.0.0.1\n' "$broker_port"
  [ -z "$wine_run" ] || printf 'protocol websockets\n'
}
# The agent's log, without Windows' line ends.
log_text() { tr -d '\r' <"$work/serve.log"; }

broker_port=$(free_port)
head_port=$(free_port)   # the head office's own listener, when the terminal's differs
bridge_port=$(free_port)
user=$(id -un)

# broker [LINES]: a broker on broker_port and head_port, anonymous unless the
# lines say otherwise; its state (the subscriber's session and queue) kept
# in $work/broker across restarts.
broker() {
  mkdir -p "$work/broker"
  {
    # Every packet in the log (log_type all): the tests read the QoS the
    # agent publishes with.
    printf 'user %s\npersistence true\npersistence_location %s/broker/\nautosave_interval 1\nlog_type all\n' "$user" "$work"
    printf 'per_listener_settings false\n%s\n' "${1:-allow_anonymous true}"
    printf 'listener %s 127.0.0.1\n' "$head_port"
    if [ $# -ge 2 ]; then printf '%s\n' "$2"; else terminal_listener; fi
  } >"$work/mosquitto.conf"
  # Bounded: a test killed outright (no trap runs then) leaves no broker for long.
  timeout 300 mosquitto -c "$work/mosquitto.conf" >>"$work/broker.log" 2>&1 &
  broker_pid=$!
  pids="$pids $broker_pid"
  wait_for 10 listening "$head_port" || fail "the broker did not start: $(tail -5 "$work/broker.log")"
}
stop_broker() { kill -TERM "$broker_pid"; wait "$broker_pid" 2>/dev/null; }

# The head office: every message under cashdrawer/v1/, QoS 1, a session the
# broker keeps while it is away.
subscribe() {
  mosquitto_sub -h 127.0.0.1 -p "$head_port" -i head-office -c -q 1 -t 'cashdrawer/v1/#' -v -W 300 ${1:-} >>"$work/sub.log" 2>>"$work/sub.err" &
  pids="$pids $!"
  sub_pid=$!
  wait_for 10 grep -q '/health ' "$work/sub.log" 2>/dev/null || true
}

# agent [MQTT LINES]: the agent on the simulated terminal, commands from a
# pipe (fd 3; the Windows agent takes them through its own pipe), logging
# to serve.log.
agent() {
  {
    printf '[Agent]\nDrawers=RN340_CashA\nPollMs=20\nJournalFolder=%s%sjournal\nBridgePort=%s\n%s\n' \
      "$work_path" "$sep" "$bridge_port" "$library_line"
    printf '[RN340_CashA]\nOpenWhen=1\n[Mqtt]\nSite=store-1\nTerminal=till-1\n%s\n' \
      "${1:-Broker=$scheme://127.0.0.1:$broker_port}"
  } >"$work/agent.ini"
  if [ -n "$wine_run" ]; then
    "$wine_run" "$agent" --config "$work_path${sep}agent.ini" serve --no-console </dev/null 2>>"$work/serve.log" &
    agent_pid=$!
  else
    [ -p "$work/console" ] || mkfifo "$work/console"
    "$agent" --config "$work/agent.ini" serve <"$work/console" 2>>"$work/serve.log" &
    agent_pid=$!
    exec 3>"$work/console"
  fi
  pids="$pids $agent_pid"
  wait_for 20 listening "$bridge_port" || fail "the agent did not start: $(tail -5 "$work/serve.log")"
}
# The Windows agent's own process under Wine, for a signal that must reach it.
windows_agent_pid() { pgrep -f "$(basename "$work").*serve" | head -1; }
# stop_agent [SIGNAL]: a TERM must end it cleanly, everything it took given
# back (the leak checker's exit code otherwise).
stop_agent() {
  kill -"${1:-TERM}" "$agent_pid"
  wait "$agent_pid" 2>/dev/null
  status=$?
  exec 3>&-
  [ "${1:-TERM}" != TERM ] || [ "$status" -eq 0 ] || fail "the agent's exit on SIGTERM: $status"
}

# ended PID: the process is gone or a zombie (it ended; nobody waited yet).
ended() {
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)
  [ -z "$state" ] || [ "$state" = Z ]
}
# cpu_ticks PID: the user and system time the process has used, in ticks.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{print $12 + $13}'; }
closings() { log_text | grep -c 'closed  drawer=RN340_CashA  raw=0  openMs'; }
closings_past() { [ "$(closings)" -gt "$1" ]; }
losses() { log_text | grep -c ': the connection to the broker failed: .* (the next attempt in [0-9]* s, then further apart, up to 30 s)$'; }
losses_past() { [ "$(losses)" -gt "$1" ]; }
# cycles N: N kicks from the console, each waited for until the drawer shut.
cycles() {
  n=0
  while [ $n -lt "$1" ]; do
    before=$(closings)
    if [ -n "$wine_run" ]; then
      run_agent --config "$work_path${sep}agent.ini" kick RN340_CashA >/dev/null
    else
      echo "open RN340_CashA" >&3
    fi
    wait_for 10 closings_past "$before" || { fail "cycle $n: the drawer did not open and close"; return; }
    n=$((n + 1))
  done
}
journal_lines() { run_agent journal show --folder "$work_path${sep}journal" --json >"$work/journal.txt"; }
newest_seq() { journal_lines; wc -l <"$work/journal.txt"; }
arrived() { grep -q "/events {\"seq\":$1," "$work/sub.log"; }
# everything_arrives SECONDS [KIND=COUNT...]: every journal line reaches the
# subscriber, in order, within the time.
acked_is() { grep -qx "{\"ackedSeq\":$1}" "$work/journal/fleet-acked.json"; }
everything_arrives() {
  seconds=$1; shift
  last=$(newest_seq)
  wait_for "$seconds" arrived "$last" || fail "seq $last did not arrive within $seconds s"
  # The broker's acknowledgement is kept within about a second, with no
  # further event to wake the agent: a restart resends little. (15 s: room
  # for a machine with every core busy; an agent that never wakes by
  # itself would never keep it.)
  wait_for 15 acked_is "$last" || fail "the acknowledged seq kept: $(cat "$work/journal/fleet-acked.json")"
  journal_lines
  $python "$here/check_events.py" "$work/sub.log" "$work/journal.txt" "$@" || fail "the events the head office got"
}
health() { curl -s --max-time 5 -H "Host: 127.0.0.1:$bridge_port" "http://127.0.0.1:$bridge_port/v1/health"; }
fleet_state_is() { health | grep -q "\"fleet\":{\"publisher\":\"mqtt\",\"state\":\"$1\""; }
health_says() { health | grep -q "$1"; }
# (sub_auth: the head office's credentials, where the broker asks for them)
sub_auth=""
retained() { mosquitto_sub -h 127.0.0.1 -p "$head_port" -t "cashdrawer/v1/store-1/till-1/$1" -C 1 -W 3 -q 1 ${2:-$sub_auth}; }
online_is() { retained health | grep -q "\"online\":$1"; }

case $scenario in
health-and-will)
  broker
  # The head office's own view, watching from before the terminal starts.
  "$agent" fleet watch --broker "mqtt://127.0.0.1:$head_port" --json --every 0 --for 8 >"$work/watch.json" 2>&1 &
  watch_pid=$!
  pids="$pids $watch_pid"
  sleep 0.5
  agent
  wait_for 10 fleet_state_is connected || fail "no connection: $(health)"
  grep -qx "cashdrawer-agent: fleet: connected to mqtt://127.0.0.1:$broker_port; events after seq 0 go now" \
    "$work/serve.log" || fail "the connection's log line: $(grep 'fleet:' "$work/serve.log")"
  # The README's 45 s to the Will for a till that vanishes without a word:
  # one and a half keep-alives of 30 s, as the broker logs the connection.
  grep -q " as cashdrawer-store-1-till-1 (.*k30)" "$work/broker.log" \
    || fail "the agent's keep-alive: $(grep 'New client' "$work/broker.log")"
  cycles 2
  # Once the news is handled the pump sleeps: an idle agent spends well
  # under half a core (a pump that spun would spend a whole one).
  ticks=$(cpu_ticks "$agent_pid")
  sleep 2
  used=$(($(cpu_ticks "$agent_pid") - ticks))
  echo "an idle agent's CPU over 2 s: $used ticks of $(getconf CLK_TCK) a second"
  [ "$used" -lt "$(getconf CLK_TCK)" ] || fail "the idle agent spent $used ticks in 2 s"
  # QoS 1 for all of it: the events as they happen, health retained.
  grep -q "Received PUBLISH from cashdrawer-store-1-till-1 (d0, q1, r0, m[0-9]*, 'cashdrawer/v1/store-1/till-1/events'" "$work/broker.log" \
    || fail "the events' QoS: $(grep 'Received PUBLISH' "$work/broker.log" | head -3)"
  grep -q "Received PUBLISH from cashdrawer-store-1-till-1 (d0, q1, r1, m[0-9]*, 'cashdrawer/v1/store-1/till-1/health'" "$work/broker.log" \
    || fail "the health's QoS: $(grep 'Received PUBLISH' "$work/broker.log" | head -3)"
  got=$(retained health)
  echo "health: $got"
  echo "$got" | grep -Eq '^\{"online":true,"chain":"[0-9a-f]{32}","site":"store-1","terminal":"till-1","agent":"[0-9.]*","library":"[0-9.]*","drawers":\[\{"id":"RN340_CashA","reachable":true\}\],"journal":\{"ok":true,"alarms":\[\]\},"lastSeq":[0-9]+,"lastEventTime":"20[0-9T:.-]*Z"\}$' \
    || fail "the retained health: $got"
  say "the agent killed: the broker gives its Will"
  stop_agent KILL
  wait_for 5 online_is false || fail "no Will: $(retained health)"
  got=$(retained health)
  echo "health: $got"
  [ "$got" = '{"online":false,"site":"store-1","terminal":"till-1","why":"the agent vanished: the broker lost its connection"}' ] \
    || fail "the Will: $got"
  wait "$watch_pid"
  echo "fleet watch: $(cat "$work/watch.json")"
  # At --every 0 it prints once, at the end.
  [ "$(grep -c '^{"terminals":' "$work/watch.json")" -eq 1 ] || fail "the watch at --every 0 printed more than once"
  newest=$(newest_seq)
  # The watch took the chain from the health: the journal's first line names it.
  chain=$(sed -n '1s/.*"chain":"\([0-9a-f]\{32\}\)".*/\1/p' "$work/journal/journal-000001.jsonl")
  # Offline since the watch saw the Will come; its drawers as the last online health named them.
  stamp='"20[0-9T:.-]*Z"'
  grep -q "^{\"terminals\":\[{\"site\":\"store-1\",\"terminal\":\"till-1\",\"online\":false,\"why\":\"the agent vanished: the broker lost its connection\",\"offlineSince\":$stamp,\"drawers\":1,\"unreachable\":\[\],\"leftOpen\":\[\],\"journalOk\":true,\"lastSeq\":$newest,\"lastEventTime\":$stamp,\"events\":$newest,\"repeats\":0,\"missing\":0,\"chainBreaks\":0,\"forks\":0,\"chain\":\"$chain\",\"pastChains\":\[\],\"openJournalAlarms\":0,\"alarms\":\[\]}\],\"time\":$stamp}$" "$work/watch.json" \
    || fail "fleet watch saw: $(cat "$work/watch.json")"
  # Without --json the watch prints its table for people, not JSON.
  "$agent" fleet watch --broker "mqtt://127.0.0.1:$head_port" --every 0 --for 1 >"$work/watch.txt" 2>&1
  { grep -q 'till-1' "$work/watch.txt" && ! grep -q '^{' "$work/watch.txt"; } \
    || fail "the watch's table: $(cat "$work/watch.txt")"
  # Each watch says goodbye: the broker logs its disconnection, not a
  # connection that just closed. (A watch is a client the broker named,
  # subscribed to everything under cashdrawer/v1/.)
  watches=$(sed -n 's/^[0-9]*: \(auto-[^ ]*\) 1 cashdrawer\/v1\/#$/\1/p' "$work/broker.log")
  [ -n "$watches" ] || fail "no watch in the broker's log"
  for id in $watches; do
    wait_for 5 grep -q "^[0-9]*: Client $id disconnected\.$" "$work/broker.log" \
      || fail "the watch's goodbye: $(grep "$id" "$work/broker.log" | grep -v 'Received\|Sending')"
  done
  # With --every it prints as it goes, not only at the end.
  "$agent" fleet watch --broker "mqtt://127.0.0.1:$head_port" --json --every 1 --for 3 >"$work/watch-every.json" 2>&1
  tables=$(grep -c '^{"terminals":' "$work/watch-every.json")
  # At most one a second and one at the end; a busy machine may start the
  # watch late and print fewer, never more.
  [ "$tables" -ge 1 ] && [ "$tables" -le 4 ] \
    || fail "the watch at --every 1 for 3 s: $(cat "$work/watch-every.json")"
  say "a clean stop says offline itself"
  agent
  wait_for 10 online_is true || fail "not online again: $(retained health)"
  # Read from the whole journal at the start: both openings of the run before.
  got=$(retained statistics)
  echo "statistics: $got"
  echo "$got" | grep -q '"drawers":{"RN340_CashA":{"DrawerGoodOpenCount":0,"DrawerFailedOpenCount":0,"unconfirmedKicks":2,"openings":2,' \
    || fail "the retained statistics: $got"
  stop_agent TERM
  got=$(retained health)
  # Since the stop's own line in the journal.
  stopped=$("$agent" journal show --folder "$work/journal" --json | tail -1 | sed 's/.*"time":"\([^"]*\)".*/\1/')
  [ "$got" = "{\"online\":false,\"site\":\"store-1\",\"terminal\":\"till-1\",\"why\":\"the agent was stopped\",\"since\":\"$stopped\"}" ] ||
    fail "after a stop: $got (the stop at $stopped)"
  say "a stop while the broker hangs waits a short while for the acknowledgement, then ends"
  agent
  wait_for 10 fleet_state_is connected || fail "no connection for the frozen broker: $(health)"
  # The broker itself, under its `timeout` guard.
  frozen=$(cat "/proc/$broker_pid/task/$broker_pid/children")
  [ -n "$frozen" ] || fail "the broker under its guard was not found to freeze"
  kill -STOP $frozen
  kill -TERM "$agent_pid"
  # The wait for the offline health's acknowledgement is 2 s; 20 s leaves
  # room for a slow machine and still tells an ended stop from a stuck one.
  wait_for 20 ended "$agent_pid" || { fail "the stop never ended with the broker hanging"; kill -KILL "$agent_pid"; }
  wait "$agent_pid" 2>/dev/null
  exec 3>&-
  kill -CONT $frozen
  ;;
outage)
  broker
  subscribe
  agent
  wait_for 10 fleet_state_is connected || fail "no connection: $(health)"
  cycles 2
  everything_arrives 10
  say "the broker bounced twice: each loss is logged, though its cause is the one logged last"
  for bounce in 1 2; do
    lost=$(losses)
    stop_broker
    wait_for 5 losses_past "$lost" || fail "bounce $bounce: the lost connection is not in the log"
    # A session that was up and dropped is reconnecting, not failing, until
    # an attempt fails (half a second at the soonest).
    wait_for 5 health_says '"state":"connecting","cause":"the connection to the broker failed: The connection was lost."' \
      || fail "bounce $bounce: a dropped session: $(health)"
    broker
    wait_for 10 fleet_state_is connected || fail "bounce $bounce: no connection again: $(health)"
  done
  say "the broker stopped for 10 s while the drawer opens and closes 20 times"
  stop_broker
  started=$(date +%s)
  cycles 20
  wait_for 5 health_says '"state":"\(failing\|connecting\)"'
  wait_for 10 health_says "\"cause\":\"$refused_words\"" || fail "the cause while down: $(health)"
  echo "while down: $(health)"
  while [ $(($(date +%s) - started)) -lt 10 ]; do sleep 0.2; done
  broker
  everything_arrives 40 opened=22 closed=22
  ;;
restart-in-outage)
  broker
  subscribe
  agent
  cycles 3
  everything_arrives 10
  say "the broker down; the agent killed and started again meanwhile"
  stop_broker
  cycles 5
  stop_agent KILL
  agent
  cycles 5
  say "stopped while the broker is still down: the stop does not wait out the pause before the next attempt"
  # Five attempts in (after waits of about 1, 2, 4 and 8 s) the agent waits
  # 8 to 16 s before the next: a stop that waited for it would take seconds.
  # The next attempt is 9 s or more away: 6 s leaves a busy machine room
  # and still tells a stop at once from one that waits for it.
  sleep 14
  kill -TERM "$agent_pid"
  wait_for 6 ended "$agent_pid" || fail "the stop waited for the next attempt"
  stop_agent TERM
  agent
  broker
  everything_arrives 40 opened=13 closed=13
  ;;
failures)
  # A wrong password, then nobody listening, then a broker whose
  # certificate the agent's CA did not sign: each time the till is served,
  # the health says why, and nothing is lost once it is mended.
  printf '[Mqtt]\nUsername=till-1\nPassword=wrong\n' >"$work/credentials.ini"
  mosquitto_passwd -b -c "$work/passwords" till-1 right >/dev/null
  mosquitto_passwd -b "$work/passwords" head-office office >/dev/null
  broker "allow_anonymous false
password_file $work/passwords"
  subscribe "-u head-office -P office"
  agent "Broker=mqtt://127.0.0.1:$broker_port
CredentialsFile=$work/credentials.ini"
  wait_for 10 health_says 'not authorised' || fail "wrong password: $(health)"
  echo "wrong password: $(health)"
  # Never connected, so failing from the first refusal on, not reconnecting.
  health_says '"state":"failing"' || fail "a refusal before any session: $(health)"
  cycles 3
  "$agent" journal show --folder "$work/journal" | grep -c '  kick  ' | grep -qx 3 || fail "the till was not served"
  say "the password mended on the broker"
  mosquitto_passwd -b "$work/passwords" till-1 wrong >/dev/null
  kill -HUP "$broker_pid"
  everything_arrives 40 opened=3
  say "the head office's watch with its own password, a wrong one, and none to read"
  printf '[Mqtt]\nUsername=head-office\nPassword=office\n' >"$work/office.ini"
  printf '[Mqtt]\nUsername=head-office\nPassword=guess\n' >"$work/guess.ini"
  watch_with() {
    "$agent" fleet watch --broker "mqtt://127.0.0.1:$broker_port" --credentials "$1" --json --every 0 --for 2 \
      >"$work/watch.json" 2>&1
  }
  watch_with "$work/office.ini" || fail "the head office's watch: $(cat "$work/watch.json")"
  grep -q '"terminal":"till-1","online":true' "$work/watch.json" || fail "the watch saw: $(cat "$work/watch.json")"
  ! watch_with "$work/guess.ini" || fail "a wrong password watched: $(cat "$work/watch.json")"
  grep -q '^cashdrawer-agent: fleet watch: the broker refused: .*not authori[sz]ed' "$work/watch.json" \
    || fail "a wrong password: $(cat "$work/watch.json")"
  ! watch_with "$work/none.ini" || fail "a missing password file watched: $(cat "$work/watch.json")"
  grep -qx "cashdrawer-agent: fleet watch: $work/none.ini: the file cannot be read: no such file" "$work/watch.json" \
    || fail "a missing password file: $(cat "$work/watch.json")"
  stop_agent TERM

  say "a broker nobody answers for"
  stop_broker
  mosquitto_passwd -D "$work/passwords" till-1 >/dev/null
  broker "allow_anonymous true" " "
  agent "Broker=mqtt://127.0.0.1:$broker_port"
  # The client's own words when nothing answers: the system's reason.
  wait_for 10 health_says '"cause":"the broker cannot be reached: Connection refused"' || fail "unreachable: $(health)"
  echo "unreachable: $(health)"
  cycles 3
  stop_broker
  broker "allow_anonymous true"
  everything_arrives 40 opened=6
  stop_agent TERM

  say "a broker that takes the connection and never answers it"
  $python -c 'import socket,sys,time
s=socket.socket(); s.bind(("127.0.0.1",0)); s.listen(8); print(s.getsockname()[1], flush=True)
held=[]
while True: held.append(s.accept()[0])' >"$work/silent-port" &
  silent=$!
  wait_for 5 test -s "$work/silent-port"
  agent "Broker=mqtt://127.0.0.1:$(cat "$work/silent-port")"
  # The client's keep-alive (30 s) runs out: said as what happened, with the next attempt's time.
  wait_for 60 health_says 'did not answer it (no CONNACK) within [23][0-9] s' || fail "a silent broker: $(health)"
  health_says '"state":"failing","cause":"the broker took the connection but did not answer it (no CONNACK) within [23][0-9] s","nextAttempt":"20[0-9-]*T' \
  || fail "a silent broker's next attempt: $(health)"
  grep -q 'no CONNACK) within [23][0-9] s (the next attempt in [0-9]* s' "$work/serve.log" || fail "the silent broker's log: $(tail -3 "$work/serve.log")"
  stop_agent TERM
  kill "$silent"

  say "TLS: a broker certificate from another CA"
  for ca in good other; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$ca test CA" -keyout "$work/$ca-ca.key" \
      -out "$work/$ca-ca.pem" 2>/dev/null
  done
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$work/broker.key" -out "$work/broker.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' >"$work/san.ext"
  for ca in good other; do
    openssl x509 -req -in "$work/broker.csr" -CA "$work/$ca-ca.pem" -CAkey "$work/$ca-ca.key" -CAcreateserial \
      -days 2 -extfile "$work/san.ext" -out "$work/broker-$ca.pem" 2>/dev/null
  done
  stop_broker
  broker "allow_anonymous true" "listener $broker_port 127.0.0.1
certfile $work/broker-other.pem
keyfile $work/broker.key"
  agent "Broker=mqtts://127.0.0.1:$broker_port
CaFile=$work/good-ca.pem"
  wait_for 10 health_says 'certificate verify failed' || fail "wrong CA: $(health)"
  echo "wrong CA: $(health)"
  health_says '"state":"failing"' || fail "a refused certificate before any session: $(health)"
  cycles 3
  say "the broker given a certificate from the agent's CA"
  stop_broker
  broker "allow_anonymous true" "listener $broker_port 127.0.0.1
certfile $work/broker-good.pem
keyfile $work/broker.key"
  everything_arrives 40 opened=9
  wait_for 5 fleet_state_is connected || fail "not connected: $(health)"
  echo "mended: $(health)"

  say "client certificates: a broker that asks each till for its own, from the chain's CA"
  for who in till stranger; do
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$who" -keyout "$work/$who.key" -out "$work/$who.csr" 2>/dev/null
    chmod 600 "$work/$who.key"
  done
  openssl x509 -req -in "$work/till.csr" -CA "$work/good-ca.pem" -CAkey "$work/good-ca.key" -CAcreateserial -days 2 \
    -out "$work/till.pem" 2>/dev/null
  openssl x509 -req -in "$work/stranger.csr" -CA "$work/other-ca.pem" -CAkey "$work/other-ca.key" -CAcreateserial \
    -days 2 -out "$work/stranger.pem" 2>/dev/null
  stop_agent TERM
  stop_broker
  broker "allow_anonymous true" "listener $broker_port 127.0.0.1
certfile $work/broker-good.pem
keyfile $work/broker.key
cafile $work/good-ca.pem
require_certificate true"
  for who in none stranger; do
    certificate=""
    [ "$who" = none ] || certificate="CertificateFile=$work/$who.pem
KeyFile=$work/$who.key"
    agent "Broker=mqtts://127.0.0.1:$broker_port
CaFile=$work/good-ca.pem
$certificate"
    wait_for 15 health_says '"state":"failing"' || fail "a till with certificate '$who': $(health)"
    sleep 1
    fleet_state_is connected && fail "a till with certificate '$who' was let in: $(health)"
    echo "certificate $who: $(health)"
    stop_agent TERM
  done
  agent "Broker=mqtts://127.0.0.1:$broker_port
CaFile=$work/good-ca.pem
CertificateFile=$work/till.pem
KeyFile=$work/till.key"
  wait_for 15 fleet_state_is connected || fail "the till's own certificate: $(health)"
  echo "the till's own certificate: $(health)"
  stop_agent TERM
  ;;
windows-failures)
  # The Windows agent: its retained health and its Will, a wrong password
  # mended, and a broker whose certificate no CA of the machine's signed.
  [ -n "$wine_run" ] || { echo "windows-failures is for the Windows agent"; exit 2; }
  printf '[Mqtt]\nUsername=till-1\nPassword=right\n' >"$work/right.ini"
  printf '[Mqtt]\nUsername=till-1\nPassword=wrong\n' >"$work/credentials.ini"
  mosquitto_passwd -b -c "$work/passwords" till-1 right >/dev/null
  mosquitto_passwd -b "$work/passwords" head-office office >/dev/null
  broker "allow_anonymous false
password_file $work/passwords"
  sub_auth="-u head-office -P office"
  subscribe "$sub_auth"
  agent "Broker=$scheme://127.0.0.1:$broker_port
CredentialsFile=$work_path${sep}right.ini"
  wait_for 20 fleet_state_is connected || fail "no connection: $(health)"
  got=$(retained health)
  echo "health: $got"
  echo "$got" | grep -Eq '^\{"online":true,"chain":"[0-9a-f]{32}","site":"store-1","terminal":"till-1","agent":"[0-9.]*","library":"[0-9.]*","drawers":\[\{"id":"RN340_CashA","reachable":true\}\],"journal":\{"ok":true,"alarms":\[\]\},"lastSeq":[0-9]+,"lastEventTime":"20[0-9T:.-]*Z"\}$' \
    || fail "the retained health: $got"
  grep -q " as cashdrawer-store-1-till-1 (.*k30, u'till-1')" "$work/broker.log" \
    || fail "the agent's keep-alive: $(grep 'New client' "$work/broker.log")"
  say "the agent killed: the broker gives its Will"
  kill -KILL "$(windows_agent_pid)"
  wait "$agent_pid" 2>/dev/null
  wait_for 10 online_is false || fail "no Will: $(retained health)"
  got=$(retained health)
  [ "$got" = '{"online":false,"site":"store-1","terminal":"till-1","why":"the agent vanished: the broker lost its connection"}' ] \
    || fail "the Will: $got"

  say "the head office's watch from a Windows machine, with its password and with one a byte off"
  printf '[Mqtt]\nUsername=head-office\nPassword=office\n' >"$work/office.ini"
  printf '[Mqtt]\nUsername=head-office\nPassword=officf\n' >"$work/guess.ini"
  watch_with() {
    run_agent fleet watch --broker "$scheme://127.0.0.1:$broker_port" --credentials "$work_path$sep$1" --json \
      --every 0 --for 3 >"$work/watch.raw" 2>&1
    watched=$?
    tr -d '\r' <"$work/watch.raw" >"$work/watch.json"
    return $watched
  }
  watch_with office.ini || fail "the watch: $(cat "$work/watch.json")"
  grep -q '^{"terminals":\[{"site":"store-1","terminal":"till-1","online":false,"why":"the agent vanished: the broker lost its connection",' \
    "$work/watch.json" || fail "the watch saw: $(cat "$work/watch.json")"
  ! watch_with guess.ini || fail "a wrong password watched: $(cat "$work/watch.json")"
  grep -qx 'cashdrawer-agent: fleet watch: the broker refused: Connection Refused: not authorised.' "$work/watch.json" \
    || fail "a wrong password: $(cat "$work/watch.json")"

  say "a wrong password, then mended on the broker"
  agent "Broker=$scheme://127.0.0.1:$broker_port
CredentialsFile=$work_path${sep}credentials.ini"
  wait_for 20 health_says 'not authorised' || fail "wrong password: $(health)"
  echo "wrong password: $(health)"
  health_says '"state":"failing","cause":"the broker refused the connection: Connection Refused: not authorised."' \
    || fail "a refusal before any session: $(health)"
  cycles 3
  mosquitto_passwd -b "$work/passwords" till-1 wrong >/dev/null
  kill -HUP "$broker_pid"
  everything_arrives 40 opened=3
  kill -KILL "$(windows_agent_pid)"
  wait "$agent_pid" 2>/dev/null

  say "TLS: a broker certificate from a CA the machine does not trust"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=other test CA" -keyout "$work/other-ca.key" \
    -out "$work/other-ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout "$work/broker.key" -out "$work/broker.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1\n' >"$work/san.ext"
  openssl x509 -req -in "$work/broker.csr" -CA "$work/other-ca.pem" -CAkey "$work/other-ca.key" -CAcreateserial \
    -days 2 -extfile "$work/san.ext" -out "$work/broker-other.pem" 2>/dev/null
  stop_broker
  broker "allow_anonymous true" "$(terminal_listener)
certfile $work/broker-other.pem
keyfile $work/broker.key"
  agent "Broker=$secure_scheme://127.0.0.1:$broker_port"
  wait_for 20 health_says '"state":"failing","cause":"the broker.s certificate' || fail "another CA: $(health)"
  echo "another CA: $(health)"
  sleep 1
  fleet_state_is connected && fail "a broker of another CA was trusted: $(health)"
  kill -KILL "$(windows_agent_pid)"
  wait "$agent_pid" 2>/dev/null

  say "the till's own certificate, by its thumbprint in the machine's store"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=till-1" -keyout "$work/till.key" -out "$work/till.csr" 2>/dev/null
  openssl x509 -req -in "$work/till.csr" -CA "$work/other-ca.pem" -CAkey "$work/other-ca.key" -CAcreateserial -days 2 \
    -out "$work/till.pem" 2>/dev/null
  openssl pkcs12 -export -in "$work/till.pem" -inkey "$work/till.key" -passout pass:till -out "$work/till.pfx"
  imported=$("$wine_run" "$(dirname "$agent")/cert_store_probe.exe" personal "$work_path${sep}till.pfx" till | tr -d '\r')
  # As the certificate manager shows it: in pairs, with colons.
  thumbprint=$(openssl x509 -in "$work/till.pem" -noout -fingerprint -sha1 | sed 's/.*=//')
  [ "$(echo "$thumbprint" | tr -d : | tr A-F a-f)" = "$imported" ] || fail "the imported certificate: $imported, not $thumbprint"
  # The same thumbprint but its last digit: no such certificate.
  last=$(echo "$thumbprint" | sed 's/.*\(.\)$/\1/')
  other=$(echo "$thumbprint" | sed "s/.\$/$( [ "$last" = 0 ] && echo 1 || echo 0)/")
  for print in "$other" "$thumbprint"; do
    agent "Broker=$secure_scheme://127.0.0.1:$broker_port
CertificateThumbprint=$print"
    if [ "$print" = "$other" ]; then
      wait_for 10 health_says "\"publisher\":\"failed\",\"cause\":\"no certificate with the thumbprint $(echo "$other" | tr -d :) is in the machine's store" \
        || fail "a thumbprint of no certificate: $(health)"
    else
      # Found: the client runs with it. (Wine's TLS cannot use the key of a
      # certificate in the machine's store; Windows goes on to meet the
      # broker's untrusted certificate.)
      wait_for 20 health_says '"publisher":"mqtt","state":"failing","cause":"the \(till\|broker\).s certificate' \
        || fail "the till's certificate by thumbprint: $(health)"
    fi
    echo "thumbprint $print: $(health)"
    kill -KILL "$(windows_agent_pid)"
    wait "$agent_pid" 2>/dev/null
  done
  ;;
*) echo "unknown scenario $scenario"; exit 2 ;;
esac
if [ "$failed" -ne 0 ]; then
  echo "--- agent log"; tail -40 "$work/serve.log"
  echo "--- broker log"; tail -20 "$work/broker.log"
  echo "--- subscriber"; tail -5 "$work/sub.log"; cat "$work/sub.err" 2>/dev/null | tail -5
  echo "fleet $scenario: $failed FAILED"
  exit 1
fi
echo "fleet $scenario: passed"
