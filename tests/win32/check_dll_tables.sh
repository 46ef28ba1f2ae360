#!/usr/bin/env bash
# Checks the export and import tables of Vendrix.dll as the host's loader
# sees them:
#   check_dll_tables.sh OBJDUMP Vendrix.dll
# a 32-bit PE, exactly the 21 undecorated entry points (Config and StopPlug
# one and the same function), and imports from Windows system DLLs only, so
# the DLL loads on a machine without any compiler runtime.
set -uo pipefail
objdump=${1:?objdump}
dll=${2:?dll}

passed=0
failed=0
check() {  # check CONDITION-RESULT NAME DETAIL
  if [ "$1" = 0 ]; then
    passed=$((passed + 1)); echo "PASS: $2"
  else
    failed=$((failed + 1)); echo "FAIL: $2: $3"
  fi
}

dump=$("$objdump" -p "$dll") || { echo "FAIL: $objdump -p $dll"; exit 1; }

grep -q 'file format pei-i386' <<<"$dump"
check $? "format is PE32 i386" "$(grep -m1 'file format' <<<"$dump")"

expected=$(printf '%s\n' Config DoDwell Home InitControl JogOff JogOn Notify PostInitControl \
  Probe Purge Reset SetCode SetDoButton SetGetDRO SetGetLED SetGetMenuRange SetProName \
  SetSetDRO SetSetLED StopPlug Update | sort)

# "[Ordinal/Name Pointer] Table" lines: "[ ordinal] name".
names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
        sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p' | sort -u)
actual=$(awk '{print $2}' <<<"$names" | sort)
[ "$(wc -l <<<"$expected")" = 21 ] || { echo "FAIL: expected list is not 21 names"; exit 1; }
[ "$actual" = "$expected" ]
check $? "exactly the 21 export names, undecorated" \
  "$(diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | tr '\n' ' ')"

# Export address table: "[ ordinal] +base[ n] RVA Export RVA".
rva_of() {
  local ordinal
  ordinal=$(awk -v n="$1" '$2 == n {print $1}' <<<"$names")
  [ -n "$ordinal" ] || return 1
  sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] +base\[ *[0-9]*\] *\([0-9a-fA-F]*\) Export RVA.*/\1 \2/p' \
    <<<"$dump" | awk -v o="$ordinal" '$1 == o {print $2}'
}
config=$(rva_of Config)
stop=$(rva_of StopPlug)
[ -n "$config" ] && [ "$config" = "$stop" ]
check $? "Config and StopPlug share one function" "Config at '${config}', StopPlug at '${stop}'"

# Windows system DLLs that any 32-bit Windows has; no compiler runtime.
allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll setupapi.dll hid.dll msvcrt.dll "
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr 'A-Z' 'a-z' | sort -u)
bad=
for d in $imports; do
  case "$allowed" in *" $d "*) ;; *) bad="$bad $d" ;; esac
done
[ -n "$imports" ] && [ -z "$bad" ]
check $? "imports only system DLLs ($(echo $imports))" "not allowed:${bad:- (no imports found)}"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
