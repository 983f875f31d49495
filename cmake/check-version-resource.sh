#!/usr/bin/env bash
# Reads the version resource back out of the built DLL and checks what a host
# or an installer sees in it.
#   check-version-resource.sh <brailledriver.dll> <version, e.g. 1.0.0>
set -e
dll="$1"; version="$2"
[ -f "$dll" ] && [ -n "$version" ] || { echo "usage: $0 <dll> <version>" >&2; exit 2; }
rc=$(x86_64-w64-mingw32-windres --input="$dll" --input-format=coff --output-format=rc) \
  || { echo "no resources in $dll"; exit 1; }
IFS=. read -r major minor patch <<<"$version"
failed=0
expect() {
  if ! grep -Fq -- "$1" <<<"$rc"; then echo "missing: $1"; failed=$((failed + 1)); fi
}
expect "FILEVERSION $major, $minor, $patch, 0"
expect "PRODUCTVERSION $major, $minor, $patch, 0"
expect "FILETYPE 0x2"  # a DLL
expect "VALUE \"FileVersion\", \"$version\""
expect "VALUE \"ProductVersion\", \"$version\""
expect 'VALUE "FileDescription", "Braille display driver"'
expect 'VALUE "CompanyName", "KVR"'
expect 'VALUE "OriginalFilename", "brailledriver.dll"'
expect 'VALUE "ProductName", '
if [ $failed != 0 ]; then echo "$rc"; echo "0 passed, 1 failed"; exit 1; fi
echo "version resource $version: FileDescription, CompanyName, OriginalFilename, ProductName present"
echo "1 passed, 0 failed"
