#!/usr/bin/env bash
# How long a GTK 3 field holds each key for the accessibility registry, without a keystroke listener,
# with the agent's, and with one served by libatspi on the AT-SPI thread; each also while the AT-SPI
# thread is held up by reads nobody answers. Run in a session with an accessibility bus:
#   scripts/wayland-session bench/key-delivery.sh <build tree> [keys per run] [ms between keys]
# "Held" is how long GTK held a key for the registry (from GDK handing it over to the field's key
# handler); "sent to seen" is from the moment its typist (wtype) starts to the key handler, which also
# counts the time a key waits behind one that is held ("none" shows what the typist itself takes).
set -euo pipefail
tree=$(cd "${1:?build tree}" && pwd)
keys=${2:-60}
interval=${3:-100}
here=$(cd "$(dirname "$0")" && pwd)
bench=$tree/bench/key_delivery_bench
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

until_true() {  # tries, command...
  local tries=$1; shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}
window_of() { swaymsg -t get_tree | grep -q "\"pid\": $1,"; }

run() {  # label, listener arguments (none: no listener)
  local label=$1; shift
  local listener=""
  if [ $# -gt 0 ]; then
    "$bench" "$@" >"$scratch/listener" 2>/dev/null &
    listener=$!
    until_true 300 grep -q listening "$scratch/listener"
  fi
  GDK_BACKEND=wayland /usr/bin/python3 "$here/key_delivery_probe.py" field >"$scratch/seen" 2>/dev/null &
  local probe=$!
  until_true 100 window_of "$probe"
  swaymsg -q "[pid=$probe] focus"
  sleep 2  # the probe's accessibility bridge comes up a moment after its window
  python3 "$here/key_delivery_probe.py" type "$keys" "$interval" >"$scratch/sent"
  sleep 4  # keys still held come through
  kill "$probe" 2>/dev/null || true
  wait "$probe" 2>/dev/null || true
  if [ -n "$listener" ]; then
    kill "$listener" 2>/dev/null || true
    wait "$listener" 2>/dev/null || true
  fi
  python3 - "$label" "$scratch/sent" "$scratch/seen" "$keys" "$scratch/listener" <<'PY'
import collections, statistics, sys
label, sent, seen, typed, listener = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
pending = collections.defaultdict(collections.deque)
for line in open(sent):
    letter, at = line.split()
    pending[letter].append(float(at))
held, waits = [], []
for line in open(seen):
    letter, arrived, at = line.split()
    held.append(float(at) - float(arrived))
    if pending[letter]:
        waits.append(float(at) - pending[letter].popleft())
heard = ""
try:
    for line in open(listener):
        if line.startswith("keys heard"):
            heard = line.split(":")[1].strip()
except OSError:
    pass
def ms(values, pick):
    return "%.1f ms" % pick(values) if values else "–"
print("| %s | %d/%d | %s | %s | %s | %s | %s |" % (label, len(held), typed, ms(held, statistics.median), ms(held, max),
                                                  ms(waits, statistics.median), ms(waits, max), heard or "–"))
PY
  : >"$scratch/listener"
}

echo "| keystroke listener | keys seen by the field | held, median | held, worst | sent to seen, median | sent to seen, worst | keys the listener heard |"
echo "|---|---|---|---|---|---|---|"
run "none"
run "the agent's (own connection and thread)" agent
run "the agent's, AT-SPI thread held up" agent held
run "libatspi's on the AT-SPI thread" thread
run "libatspi's on the AT-SPI thread, held up" thread held

# The keys a GTK 3 field's text changes stand for (as the agent reads a GTK 4 field's), beside the
# keys it heard: words with typos put right with BackSpace, a Delete after moving back, a selection
# typed over, and all of it selected and deleted.
GDK_BACKEND=wayland /usr/bin/python3 "$here/key_delivery_probe.py" field >/dev/null 2>&1 &
probe=$!
"$bench" compare >"$scratch/listener" 2>/dev/null &
listener=$!
until_true 300 grep -q listening "$scratch/listener"
until_true 100 window_of "$probe"
swaymsg -q "[pid=$probe] focus"
sleep 2
wtype -d 120 "the quick brwn" -k BackSpace -k BackSpace -k BackSpace "rown fox jumsp" -k BackSpace -k BackSpace "ps ovr" \
  -k BackSpace "er the lazy dog" -k Left -k Left -k Left -k Delete -k Delete -k Delete "dog" -k Return \
  -M shift -k Home -m shift "a new line" -M ctrl a -m ctrl -k BackSpace "done"
sleep 2
kill "$listener" "$probe"
wait "$listener" "$probe" 2>/dev/null || true
echo
grep '^heard' "$scratch/listener"
