#!/bin/sh
# The shared object shows the C API and nothing else: no C++ symbol of its
# static parts leaks into an application's namespace.
#   check_exports.sh LIBRARY
set -u
expected="CheckCashDrawerHealth
GetCashDrawerError
GetCashDrawerVersion
GetCashStatus
GetCashStatusDefault
OpenCash
OpenCashConfirmed
OpenCashDefault
WaitCashStatus"
actual=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TW]$/ {print $3}' | LC_ALL=C sort)
if [ "$actual" != "$expected" ]; then
  echo "FAILED: $1 exports:"
  echo "$actual"
  exit 1
fi
soname=$(objdump -p "$1" | awk '/SONAME/ {print $2}')
case $soname in
  libcashdrawer.so.[0-9]*) echo "exports: the nine functions; SONAME $soname" ;;
  *) echo "FAILED: SONAME '$soname'"; exit 1 ;;
esac
