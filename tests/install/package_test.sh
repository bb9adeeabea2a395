#!/usr/bin/env bash
# The Debian package as `make deb` makes it: its fields, dependencies that match what the
# binaries link, exactly the installed files under /usr owned by root, and the unpacked
# unquarvex restoring the samples.
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION PROGRAM...
. "$(dirname "$0")/lib.sh"
build=$1 src=$2 version=$3
shift 3
programs=("$@")

if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/pkg" >"$scratch/cpack.log" 2>&1; then
  fail "cpack"; cat "$scratch/cpack.log" >&2; finish
fi
arch=$(dpkg --print-architecture)
deb=$scratch/pkg/unquarvex_${version}_$arch.deb
[ -f "$deb" ] || { fail "no $deb; made: $(ls "$scratch/pkg")"; finish; }

field() { dpkg-deb -f "$deb" "$1"; }
check_eq "Package" unquarvex "$(field Package)"
check_eq "Version" "$version" "$(field Version)"
check_eq "Architecture" "$arch" "$(field Architecture)"
check_eq "Section" utils "$(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"

# Depends names each package that owns a library the binaries need, each with a least version,
# and nothing else.
owners=$(for bin in "${programs[@]}"; do
  ldd "$bin" | awk '$2 == "=>" && $3 ~ /^\// { print $3 }'
done | sort -u | while read -r lib; do
  real=$(readlink -f "$lib")
  for path in "$lib" "$real" "${lib#/usr}" "/usr${lib}" "${real#/usr}" "/usr${real}"; do
    owner=$(dpkg-query -S "$path" 2>/dev/null | head -1) && [ -n "$owner" ] && break
  done
  echo "${owner%%:*}"
done | LC_ALL=C sort -u)
depends=$(field Depends)
names=$(tr ',' '\n' <<<"$depends" | sed 's/(.*//; s/ //g' | LC_ALL=C sort -u)
check_eq "Depends names the owners of the libraries linked" "$owners" "$names"
check_has "needed packages" "$names" libc6 libstdc++6 libgcc-s1
unversioned=$(tr ',' '\n' <<<"$depends" | grep -v '(>= ' || true)
check_eq "Depends without a least version" "" "$unversioned"

# Contents: the installed files under /usr, owned by root, programs executable by all.
listing=$(dpkg-deb -c "$deb")
check_eq "files in the package" "$(sed 's|^|/usr/|' "$build/installed-files.txt" | LC_ALL=C sort)" \
  "$(awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' <<<"$listing" | LC_ALL=C sort)"
check_eq "entries not owned by root" "" "$(awk '$2 != "root/root"' <<<"$listing")"
check_eq "programs not executable by all" "" \
  "$(awk '$6 ~ /\/bin\/./ && $1 != "-rwxr-xr-x"' <<<"$listing")"

# Unpacked into a scratch root, the programs work from it.
dpkg -x "$deb" "$scratch/root" || fail "dpkg -x"
check_restores_samples unpacked "$scratch/root/usr/bin" "$src"
"$scratch/root/usr/bin/quarvex" --help >/dev/null 2>&1 || fail "unpacked quarvex --help fails"
check_eq "man -w unquarvex in the unpacked root" "$scratch/root/usr/share/man/man1/unquarvex.1.gz" \
  "$(mman -M "$scratch/root/usr/share/man" -w unquarvex 2>/dev/null)"
check_eq "Maintainer" "unquarvex developers <unquarvex@example.org>" "$(field Maintainer)"

# lintian, where it is installed (make test installs it): no error. Warnings are printed for the
# reader; the ones known and left are in the README of the package section.
if command -v lintian >/dev/null 2>&1; then
  lintian --tag-display-limit 0 "$deb" >"$scratch/lintian.txt" 2>&1
  check_eq "lintian errors" "" "$(grep '^E:' "$scratch/lintian.txt")"
  sed -n 's/^W: /lintian warning: /p' "$scratch/lintian.txt"
else
  echo "lintian is not installed: the package is not linted"
fi
finish
