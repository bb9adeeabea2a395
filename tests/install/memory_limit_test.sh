#!/usr/bin/env bash
# The release programs under an address-space limit (ulimit -v), which the test build can't run
# under: its sanitizers map terabytes of their own. Three coded 256 MiB blocks of zeros with
# sixteen workers: the default memory budget keeps to the limit, so no block is lost to a failed
# allocation and --test gives its verdict (a budget from physical memory lost two of them).
#   memory_limit_test.sh UNQUARVEX QUARVEX
. "$(dirname "$0")/lib.sh"
unquarvex=$1 quarvex=$2
cd "$scratch" || exit 1

# One block coded by quarvex, then an archive of three copies of it (no checksum: it would be
# the one block's).
truncate -s 256M zeros
"$quarvex" -b 256 --filter=none -o one.qvx zeros || fail "quarvex -b 256"
rm -f zeros
python3 - <<'PY' || fail "making three.qvx"
import struct
data = open("one.qvx", "rb").read()
header = bytearray(data[:32])
header[4:12] = struct.pack("<q", 3 * (256 << 20))
header[20:32] = bytes(12)
open("three.qvx", "wb").write(bytes(header) + data[32:] * 3)
PY

out=$( (ulimit -v 900000 && "$unquarvex" -d -p16 three.qvx restored) 2>&1)
check_eq "unquarvex -d -p16 under ulimit -v 900000: status and messages" "0:" "$?:$out"
check_eq "the restored size" "$((3 << 28))" "$(stat -c %s restored/three 2>/dev/null)"
cmp -s -n $((3 << 28)) restored/three /dev/zero || fail "the restored file is not all zeros"

# The threads allocate from one heap: a heap of a thread's own reserves 64 MiB of address space
# (mapped as 128 MiB, half given back), which sixteen workers could take from the blocks.
if strace -o /dev/null true 2>/dev/null; then
  for run in "$unquarvex -d -p16 three.qvx heaps" "$quarvex -t -p16 three.qvx"; do
    heaps=$(strace -f -e trace=mmap $run 2>&1 >/dev/null | grep -c 'mmap(NULL, 134217728, PROT_NONE')
    check_eq "heaps of their own for the threads of ${run%% *} -p16" 0 "$heaps"
  done
else
  echo "strace can't run here: the heaps are not counted" >&2
fi

out=$( (ulimit -v 900000 && "$quarvex" -t -p16 three.qvx) 2>&1)
check_eq "quarvex -t -p16 under ulimit -v 900000" \
  "0:three.qvx: OK (no checksum: every block decodes, contents not verified)" "$?:$out"
finish
