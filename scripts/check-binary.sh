#!/usr/bin/env bash
# Checks a built plug-in: only system DLLs imported, the eight exports with their ordinals and the library name.
set -u
dll="$1"; arch="${2:-i686}"
objdump="${arch}-w64-mingw32-objdump"
[ -f "$dll" ] || { echo "missing $dll"; exit 1; }
dump="$($objdump -p "$dll")"
fail=0
allowed='^(KERNEL32|USER32|GDI32|COMCTL32|COMDLG32|WINHTTP|msvcrt|ADVAPI32|SHELL32|ole32)\.dll$'
while read -r name; do
  if ! [[ "${name,,}" =~ ${allowed,,} ]]; then echo "unexpected import: $name"; fail=1; fi
done < <(echo "$dump" | sed -n 's/^\s*DLL Name: //p')
echo "$dump" | grep -Eq '^Name\s+[0-9a-f]+ ParlyPlugin\.dll$' || { echo "library name is not ParlyPlugin.dll"; fail=1; }
names="$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')"
i=1
for e in _nbAbout _nbEditAction _nbExecAction _nbInitPlugIn _nbMessage _nbRegisterInterfaceAccess _nbRegisterPlugIn _nbRegisterScriptProcessor; do
  # The name table lists "[index] name"; a name's ordinal is the index plus the base 1.
  echo "$names" | grep -Eq "^\s*\[\s*$((i-1))\] $e$" || { echo "export $e is not ordinal $i"; fail=1; }
  i=$((i+1))
done
count=$(echo "$dump" | grep -Ec '^\s*\[\s*[0-9]+\] \+base\[')
[ "$count" = 8 ] || { echo "expected 8 exports, found $count"; fail=1; }
[ $fail = 0 ] && echo "$(basename "$dll") ($arch): imports and exports as expected"
exit $fail
