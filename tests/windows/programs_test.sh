#!/usr/bin/env bash
# The Windows programs as shipped: each imports Windows' own DLLs alone (no libstdc++-6.dll,
# libgcc_s_seh-1.dll or libwinpthread-1.dll beside it), and the zip holds the programs, the
# README and each manual as text.
#   programs_test.sh BUILD_DIR OBJDUMP ZIP_NAME PROGRAM...
. "$(dirname "$0")/../install/lib.sh"
build=$1 objdump=$2 zip_name=$3
shift 3

for program in "$@"; do
  imports=$("$objdump" -p "$build/bin/$program.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
  # ntdll.dll: NtQueryInformationFile, whether standard output may only append.
  check_eq "$program.exe: DLLs beyond Windows' own" "" \
    "$(grep -v -x -e kernel32.dll -e msvcrt.dll -e ntdll.dll <<<"$imports")"
done

cmake --build "$build" --target windows-zip >"$scratch/zip.log" 2>&1 || { fail "windows-zip"; cat "$scratch/zip.log" >&2; }
listed=$(cd "$scratch" && cmake -E tar tf "$build/$zip_name.zip" | LC_ALL=C sort)
expected=$(for program in "$@"; do echo "$zip_name/$program.exe"; echo "$zip_name/$program.txt"; done
           echo "$zip_name/README.txt"; echo "$zip_name/")
check_eq "files in the zip" "$(LC_ALL=C sort <<<"$expected")" "$listed"
(cd "$scratch" && cmake -E tar xf "$build/$zip_name.zip") || fail "unzip"
for program in "$@"; do
  cmp -s "$build/bin/$program.exe" "$scratch/$zip_name/$program.exe" || fail "$program.exe in the zip differs"
  check_has "$program.txt" "$(cat "$scratch/$zip_name/$program.txt")" "NAME" "$program" $'\r'
done
finish
