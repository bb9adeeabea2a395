#!/usr/bin/env bash
# `cmake --install` into a scratch prefix: exactly the listed files, programs that work from the
# prefix alone, man pages a man command finds there, completion that bash-completion loads from
# there; then the uninstall script removes all of it. The same with DESTDIR, as packagers use it.
#   install_test.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
build=$1 src=$2
listed=$(LC_ALL=C sort "$build/installed-files.txt")

files_under() { (cd "$1" 2>/dev/null && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort); }

prefix=$scratch/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" 2>&1; then
  fail "cmake --install"; cat "$scratch/install.log" >&2
fi
check_eq "files installed" "$listed" "$(files_under "$prefix")"
check_has "installed files" "$listed" bin/unquarvex bin/quarvex share/man/man1/unquarvex.1.gz \
  share/man/man1/quarvex.1.gz share/bash-completion/completions/unquarvex \
  share/bash-completion/completions/quarvex share/doc/unquarvex/README.md \
  share/doc/unquarvex/copyright share/doc/unquarvex/changelog.gz
cmp -s "$src/README.md" "$prefix/share/doc/unquarvex/README.md" || fail "installed README differs"
cmp -s "$src/docs/debian/copyright" "$prefix/share/doc/unquarvex/copyright" || fail "installed copyright differs"
zcmp -s "$src/docs/debian/changelog" "$prefix/share/doc/unquarvex/changelog.gz" || fail "installed changelog differs"
for page in unquarvex quarvex; do
  zcmp -s "$build/generated/man/$page.1" "$prefix/share/man/man1/$page.1.gz" || fail "installed $page.1.gz differs"
done

# The installed programs, run from a directory outside both trees.
check_restores_samples installed "$prefix/bin" "$src"
"$prefix/bin/quarvex" --help >"$scratch/help.txt" 2>&1 || fail "installed quarvex --help fails"
check_has "quarvex --help" "$(cat "$scratch/help.txt")" quarvex

# mandoc's man finds the pages under the prefix's share/man (it notes on standard error that
# there is no mandoc.db index there, and searches the folders).
for page in unquarvex quarvex; do
  check_eq "man -w $page" "$prefix/share/man/man1/$page.1.gz" \
    "$(mman -M "$prefix/share/man" -w "$page" 2>/dev/null)"
done

bash "$src/tests/install/completion_test.sh" "$prefix/share/bash-completion/completions" \
  >/dev/null || fail "completion from the prefix"
# bash-completion loads a command's completion on first use from share/bash-completion/
# completions under each of XDG_DATA_DIRS (by default /usr/local/share:/usr/share).
loader=/usr/share/bash-completion/bash_completion
if [ -r "$loader" ]; then
  for cmd in unquarvex quarvex; do
    loaded=$(XDG_DATA_DIRS="$prefix/share" bash --norc --noprofile -c \
      ". $loader; __load_completion $cmd; complete -p $cmd" 2>&1)
    check_eq "bash-completion loads $cmd from the prefix" "complete -F _$cmd $cmd" "$loaded"
  done
fi

cmake -DPREFIX="$prefix" -P "$build/uninstall.cmake" >/dev/null || fail "uninstall"
check_eq "files left after uninstall" "" "$(files_under "$prefix")"
[ -e "$prefix/share/doc/unquarvex" ] && fail "uninstall leaves share/doc/unquarvex"
cmake -DPREFIX="$prefix" -P "$build/uninstall.cmake" >/dev/null || fail "second uninstall"

# DESTDIR stages the prefix below it; uninstall honours it too.
stage=$scratch/stage
DESTDIR=$stage cmake --install "$build" --prefix /opt/qvx >/dev/null 2>&1 || fail "install with DESTDIR"
check_eq "files staged under DESTDIR" "$listed" "$(files_under "$stage/opt/qvx")"
DESTDIR=$stage cmake -DPREFIX=/opt/qvx -P "$build/uninstall.cmake" >/dev/null || fail "uninstall with DESTDIR"
check_eq "staged files left after uninstall" "" "$(files_under "$stage/opt/qvx")"
finish
