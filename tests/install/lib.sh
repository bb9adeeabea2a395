# Shared by the install tests: a scratch directory removed on exit, and checks that name what
# they expected when they fail. Each failed check is counted; the script fails at its end.
set -uo pipefail

scratch=$(mktemp -d "${TMPDIR:-/tmp}/qvx-install-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# check_eq WHAT EXPECTED ACTUAL
check_eq() {
  if [ "$2" != "$3" ]; then
    fail "$1"
    printf '  expected: %s\n  actual:   %s\n' "$2" "$3" >&2
  fi
}

# check_has WHAT TEXT NEEDLE...: each NEEDLE occurs in TEXT as a fixed string.
check_has() {
  local what=$1 text=$2 needle
  shift 2
  for needle in "$@"; do
    grep -qF -- "$needle" <<<"$text" || fail "$what lacks '$needle'"
  done
}

# check_restores_samples WHAT BIN_DIR SOURCE_DIR: BIN_DIR's unquarvex, run from a new directory
# outside both trees, restores the bundled samples exactly and silently; the shell stays there.
check_restores_samples() {
  local what=$1 bin=$2 src=$3 q name out
  mkdir "$scratch/run" && cd "$scratch/run" || return
  out=$("$bin/unquarvex" -d "$src"/samples/*.qvx restored 2>&1)
  check_eq "$what unquarvex on the samples: status and output" "0:" "$?:$out"
  for q in "$src"/samples/*.qvx; do
    name=$(basename "$q" .qvx)
    cmp -s "restored/$name" "$src/samples/$name" || fail "restored/$name differs from samples/$name"
  done
}

finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}
