#!/usr/bin/env bash
# The man pages as the build renders them: no lint message from mandoc at any level (style
# included), and the rendered text carries what a reader comes for: the version, the options the
# usage text leaves out, the messages and exit statuses, the memory variable, the suite's modes.
#   man_test.sh MAN_DIR VERSION
. "$(dirname "$0")/lib.sh"
man_dir=$1 version=$2

for page in unquarvex quarvex; do
  lint=$(mandoc -T lint -W style "$man_dir/$page.1" 2>&1)
  check_eq "mandoc -T lint of $page.1" "" "$lint"
  if command -v groff >/dev/null 2>&1; then
    check_eq "groff -ww of $page.1" "" "$(groff -ww -z -man "$man_dir/$page.1" 2>&1)"
  fi
done

# Rendered as a terminal shows it, with the line breaks of the fill undone.
text() { mandoc -T ascii "$man_dir/$1.1" | col -bx | tr -s ' \n' '  '; }

u=$(text unquarvex)
check_has "unquarvex(1)" "$u" "unquarvex $version" "unquarvex -d [-pN] [-r] [-v] FILE.qvx" \
  "-p0" "-r" "-v" "DESTINATION_DIR/NAME.out" \
  "message:<template>;'<text>'Error: <code> <text>" "malloc error" \
  "write error. errno=n 'system text'" "read error. errno=n 'system text'" \
  "file header. no quarvex format" "file is corrupted" "'input' not qvx file" \
  "Fatal Error in decomp 'output'.result,expected" "Error thread_create." \
  "destination is not a directory" "can't open input file 'input'. 'system text'" \
  "creat error 'output' 'system text'" "cannot create directory 'dir'" \
  "'<output>' is incomplete: <k> of <n> blocks not written" \
  "UNQUARVEX_MEMORY_LIMIT" "25%" "EXIT STATUS 0 " " 1 The usage text" " 255 A fatal" \
  "quarvex -d checks" "EXAMPLES" "quarvex(1)"

q=$(text quarvex)
check_has "quarvex(1)" "$q" "quarvex $version" "-o OUTPUT FILE" "-l|--list [--json] ARCHIVE" \
  "-t|--test [--json] [-p N] ARCHIVE" "--best" "--level=N" "--block-size=MIB" "--filter=KIND" \
  "--threads=N" "--force" "--recursive" "--output=OUTPUT" "--json" "--verbose" "--help" \
  "--version" "NAME: OK" "NAME: damaged: reason" "NAME: OK (no checksum: every block decodes, contents not verified)" \
  "NAME: not checked: out of memory" "CHECKSUM" "XXH3-64" \
  "quarvex -d [OPTIONS] ARCHIVE ... DEST_DIR" "RESTORING" "--decompress" "--stdout" \
  "--keep-partial" "--rm" "--quiet" "UNQUARVEX_MEMORY_LIMIT" "owners or hard links" \
  "tar -I quarvex -xf tree.tar.qvx" "EXIT STATUS" "EXAMPLES"
finish
