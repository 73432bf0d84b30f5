#!/bin/sh
# Runs one Windows host test with a simulated serial drawer device behind
# the Wine COM port COM12, then stops the device.
#   with_serial_device.sh DEVICE_SIM WINE_RUN HOST TEST [device options...]
set -u
device_sim=$1 wine_run=$2 host=$3 test=$4
shift 4
if [ ! -x "$device_sim" ]; then
  echo "serial device simulator not found at $device_sim: build the win64 preset" >&2
  exit 1
fi
# The same prefix cmake/wine-run will use.
: "${WINEPREFIX:=${CASHDRAWER_WINEPREFIX:-$HOME/.cache/cashdrawer-wineprefix}}"
export WINEPREFIX
[ -d "$WINEPREFIX/dosdevices" ] || "$wine_run" wineboot -i >/dev/null 2>&1

log=$(mktemp /tmp/cashdrawer-serial.XXXXXX)
port="$WINEPREFIX/dosdevices/com12"
"$device_sim" --link "$port" --log "$log" "$@" &
device=$!
for _ in $(seq 100); do [ -L "$port" ] && break; sleep 0.05; done

CASHDRAWER_SERIAL_LOG=$log "$wine_run" "$host" "$test"
status=$?

kill "$device" 2>/dev/null
wait "$device" 2>/dev/null
rm -f "$log"
exit $status
