#!/bin/sh
# The DLL must run on a bare Windows install: it may import system DLLs only.
# The compiler runtime is linked in, and the vendor hardware libraries are
# loaded at run time, never imported.
objdump=$1
dll=$2
imports=$("$objdump" -p "$dll" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$imports" ] || { echo "no import table found in $dll"; exit 1; }
status=0
for name in $imports; do
  case $(printf '%s' "$name" | tr '[:upper:]' '[:lower:]') in
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-*.dll|advapi32.dll|user32.dll|ntdll.dll|winmm.dll)
      echo "ok: $name" ;;
    *)
      echo "not a system DLL: $name"; status=1 ;;
  esac
done
exit $status
