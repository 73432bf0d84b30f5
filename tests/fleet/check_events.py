"""Checks what a subscriber to cashdrawer/v1/# received, as the head office
would: every journal seq from 1 to the newest, each line's prev the hash of
the line before (duplicates allowed, by seq, gaps never).

    check_events.py SUBSCRIBER_LOG JOURNAL_LINES [KIND=COUNT ...]

SUBSCRIBER_LOG holds mosquitto_sub -v lines ("topic payload"); JOURNAL_LINES
is `cashdrawer-agent journal show --json`: what arrived must be exactly it.
"""
import json
import sys

log, journal_file, *counts = sys.argv[1:]
journal = [line.rstrip("\n") for line in open(journal_file, encoding="utf-8") if line.strip()]
seen = {}
order = []
for line in open(log, encoding="utf-8"):
    topic, _, payload = line.rstrip("\n").partition(" ")
    if not topic.endswith("/events"):
        continue
    event = json.loads(payload)
    if event["seq"] in seen and seen[event["seq"]] != payload:
        sys.exit(f"seq {event['seq']} arrived twice with different lines")
    seen[event["seq"]] = payload
    order.append(event["seq"])
newest = len(journal)
missing = [seq for seq in range(1, newest + 1) if seq not in seen]
if missing:
    sys.exit(f"{len(missing)} of {newest} events never arrived: seqs {missing[:20]}")
for seq in range(1, newest + 1):
    if seen[seq] != journal[seq - 1]:
        sys.exit(f"seq {seq} arrived as {seen[seq]!r}, the journal holds {journal[seq - 1]!r}")
# First arrivals come in seq order: a consumer that drops repeats never
# sees an event before one older than it.
firsts = []
for seq in order:
    if seq not in firsts:
        firsts.append(seq)
if firsts != sorted(firsts):
    sys.exit(f"events arrived out of order: {firsts[:40]}")
kinds = [json.loads(seen[seq])["kind"] for seq in range(1, newest + 1)]
for want in counts:
    kind, count = want.split("=")
    if kinds.count(kind) < int(count):
        sys.exit(f"{kinds.count(kind)} {kind} events, {count} wanted")
print(f"{newest} events, seq 1 to {newest}, each arrived ({len(order) - newest} repeats), the chain whole")
