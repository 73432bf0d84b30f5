# Sourced by the scripts that run Windows programs: a Wine prefix of this
# run's own under /tmp, created quietly, and its wineserver stopped (and the
# prefix removed) when the script ends.
export WINEPREFIX
WINEPREFIX=$(mktemp -d /tmp/cashdrawer-wine.XXXXXX)
export WINEDEBUG=-all
export WINEDLLOVERRIDES=mscoree,mshtml=
stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap stop_wine EXIT
# Debian's wine prints a harmless note about a missing syswow64 rundll32.exe
# while it creates a prefix; keep it off the output.
wineboot -i >/dev/null 2>&1 || true
# One server for the whole run, kept until the end: started on demand, it
# quits when its last program ends, and a program of a test running in
# parallel that connects at that moment fails ("recvmsg: Connection reset
# by peer").
wineserver -k >/dev/null 2>&1 || true
wineserver -p >/dev/null 2>&1 || true
# The prefix's services, started now on no terminal: started by the first
# program instead, they would hold its output pipe open for the whole run.
wineboot >/dev/null 2>&1 || true
