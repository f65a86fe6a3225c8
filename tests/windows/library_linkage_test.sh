#!/bin/bash
# Usage: library_linkage_test.sh OBJDUMP LIBRARY
#
# The controller library must load on a bare Windows: it may import only the system's own DLLs
# (no mingw runtime DLLs), and it must export exactly its two functions.
set -u
objdump="$1"; library="$2"
dump=$("$objdump" -p "$library") || { echo "cannot read $library"; exit 1; }
status=0

imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
[ -n "$imports" ] || { echo "no imports found: not a PE file?"; exit 1; }
for dll in $imports; do
  case "$dll" in
    kernel32.dll|msvcrt.dll|ws2_32.dll|user32.dll|advapi32.dll|ntdll.dll) ;;
    *) echo "imports $dll, which Windows does not provide"; status=1 ;;
  esac
done

# The export name table: "[   0] Name" lines after "[Ordinal/Name Pointer] Table".
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | sort | tr '\n' ' ')
if [ "$exports" != "GetRemoteConnectAPI GetServiceToolAPI " ]; then
  echo "exports are '$exports', expected exactly GetRemoteConnectAPI and GetServiceToolAPI"
  status=1
fi
exit $status
