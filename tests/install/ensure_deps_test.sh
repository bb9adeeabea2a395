#!/usr/bin/env bash
# tools/ensure-deps on the systems it meets, played by stub commands on a PATH of their own: Debian
# as root (installs) and as a user (prints the apt-get line), no dpkg-query (looks for commands by
# name), QVX_SKIP_DEPS=1, and a run under sudo (warns that the tree will be root's).
#   ensure_deps_test.sh SOURCE_DIR
. "$(dirname "$0")/lib.sh"
script=$1/tools/ensure-deps
bash=$(command -v bash)

stubs=$scratch/bin
mkdir "$stubs"
ln -s "$(command -v grep)" "$stubs/grep"
# id -u prints $STUB_UID; dpkg-query says "installed" for the packages in $STUB_INSTALLED;
# apt-get records its arguments.
cat >"$stubs/id" <<'STUB'
#!/bin/sh
echo "$STUB_UID"
STUB
cat >"$stubs/dpkg-query" <<'STUB'
#!/bin/sh
for p in $STUB_INSTALLED; do [ "$p" = "$3" ] && { printf 'install ok installed'; exit 0; }; done
exit 1
STUB
cat >"$stubs/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$STUB_LOG"
STUB
chmod +x "$stubs"/*

# run [VAR=VALUE...] MODE: sets $status, $out (standard output) and $err (standard error).
run() {
  local mode=${*: -1}
  env -i PATH="$stubs" STUB_UID=1000 STUB_LOG="$scratch/apt.log" "${@:1:$#-1}" \
    "$bash" "$script" "$mode" >"$scratch/out" 2>"$scratch/err"
  status=$?
  out=$(cat "$scratch/out") err=$(cat "$scratch/err")
}
all_test="cmake ninja-build g++ libxxhash-dev libgtest-dev mandoc dpkg-dev file python3 lintian strace
          g++-mingw-w64-x86-64-posix googletest wine64 wine"

run STUB_INSTALLED="$all_test" test
check_eq "Debian with everything: status, output" "0::" "$status:$out:$err"

run STUB_INSTALLED="cmake g++" demo
check_eq "Debian user missing packages: status" 1 "$status"
check_eq "Debian user missing packages: the one line to run" \
  "Missing packages: ninja-build libxxhash-dev. Install them with:
  sudo apt-get install -y --no-install-recommends ninja-build libxxhash-dev" "$err"
[ -e "$scratch/apt.log" ] && fail "apt-get ran for a user"

run STUB_UID=0 STUB_INSTALLED="cmake ninja-build g++" test
check_eq "Debian root: status" 0 "$status"
check_eq "Debian root: apt-get calls" "apt-get update -qq
apt-get install -y -qq --no-install-recommends libxxhash-dev libgtest-dev mandoc dpkg-dev file python3 lintian strace g++-mingw-w64-x86-64-posix googletest wine64 wine" "$(cat "$scratch/apt.log")"
rm -f "$scratch/apt.log"

# Without dpkg-query: only commands count, and all of them must be there.
rm "$stubs/dpkg-query"
for cmd in cmake ninja g++ mandoc dpkg-shlibdeps file python3 lintian strace x86_64-w64-mingw32-g++-posix wineserver wine; do
  printf '#!/bin/sh\n' >"$stubs/$cmd" && chmod +x "$stubs/$cmd"
done
run test
check_eq "no dpkg-query, every command there: status, output" "0::" "$status:$out:$err"
rm "$stubs/ninja" "$stubs/mandoc"
run deb
check_eq "no dpkg-query, ninja missing: status" 1 "$status"
check_has "no dpkg-query, deb names ninja only (it needs no mandoc)" "$err" "Missing commands: ninja." "QVX_SKIP_DEPS=1"
run test
check_has "no dpkg-query, missing commands named" "$err" "Missing commands: ninja mandoc."
# The Windows build alone needs neither the native compiler's tests nor Wine.
run STUB_UID=0 QVX_SKIP_DEPS= windows
check_eq "no dpkg-query, windows: ninja alone missing" 1 "$status"
check_has "no dpkg-query, windows names ninja only" "$err" "Missing commands: ninja."
[ -e "$scratch/apt.log" ] && fail "apt-get ran without dpkg-query"

run QVX_SKIP_DEPS=1 test
check_eq "QVX_SKIP_DEPS=1: status, output" "0::" "$status:$out:$err"

# Under sudo a build leaves a root-owned tree: warn, whatever else happens.
run STUB_UID=0 SUDO_USER=alice QVX_SKIP_DEPS=1 demo
check_eq "under sudo: status" 0 "$status"
check_has "under sudo: warning" "$err" "running under sudo" "belong to root" "Build as alice"
run STUB_UID=0 QVX_SKIP_DEPS=1 demo
check_eq "root without sudo: no warning" "" "$err"
# sudo make install over a tree built already only copies: no warning then, but one when the
# install has to build the tree first.
mkdir -p "$scratch/clone/build/release" && cd "$scratch/clone"
run STUB_UID=0 SUDO_USER=alice QVX_SKIP_DEPS=1 install
check_has "sudo install of an unbuilt tree: warning" "$err" "belong to root"
touch build/release/build.ninja
run STUB_UID=0 SUDO_USER=alice QVX_SKIP_DEPS=1 install
check_eq "sudo install of a built tree: no warning" "" "$err"
run STUB_UID=0 SUDO_USER=alice QVX_SKIP_DEPS=1 demo
check_has "sudo demo of a built tree (restored/ is made anew): warning" "$err" "belong to root"

run bogus
check_eq "unknown mode: status" 2 "$status"
finish
