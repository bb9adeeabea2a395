#!/usr/bin/env bash
# Bash completion of both commands, loaded from COMPLETION_DIR into a plain bash (no
# bash-completion package, no rc files) and asked for completions the way bash asks.
#   completion_test.sh COMPLETION_DIR
. "$(dirname "$0")/lib.sh"
dir=$(cd "$1" && pwd)

cd "$scratch"
mkdir sub 'my dir'
touch a.qvx B.QVX notes.txt 'two words.qvx' sub/c.qvx

# complete WORD... : the sorted completions of the last WORD, one per line; the first WORD is
# the command. Words are given as bash splits them ('=' is a word of its own).
complete_words() {
  bash --norc --noprofile -c '
    . "$1/unquarvex"; . "$1/quarvex"
    shift
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    registered=$(complete -p "$1") || exit 3
    func=${registered#*-F }; func=${func%% *}
    "$func" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort' _ "$dir" "$@"
}

nl=$'\n'
# unquarvex: -d first, then its three options, .qvx files (any case) and directories.
check_eq "unquarvex offers -d first" "-d" "$(complete_words unquarvex '')"
check_eq "unquarvex offers nothing without -d" "" "$(complete_words unquarvex -x '')"
check_eq "unquarvex options" "-p${nl}-r${nl}-v" "$(complete_words unquarvex -d -)"
check_eq "unquarvex inputs: .qvx files and directories" \
  "B.QVX${nl}a.qvx${nl}my dir${nl}sub${nl}two words.qvx" "$(complete_words unquarvex -d '')"
check_eq "unquarvex destination by prefix" "sub" "$(complete_words unquarvex -d a.qvx s)"
check_eq "unquarvex inside a directory" "sub/c.qvx" "$(complete_words unquarvex -d -r sub/)"

# quarvex: its options, the values of --filter however bash splits the word, any file to
# compress, and archives only where archives are read.
check_eq "quarvex long options by prefix" "--verbose${nl}--version" "$(complete_words quarvex --ver)"
check_eq "quarvex option with a value" "--filter=" "$(complete_words quarvex --fil)"
check_eq "quarvex stream and removal options" "--recursive${nl}--rm" "$(complete_words quarvex --r)"
check_eq "quarvex --stdout" "--stdout" "$(complete_words quarvex --std)"
check_eq "quarvex --filter values" "auto${nl}delta${nl}none${nl}x86" "$(complete_words quarvex --filter = '')"
check_eq "quarvex --filter= just typed" "auto${nl}delta${nl}none${nl}x86" "$(complete_words quarvex --filter =)"
check_eq "quarvex --filter value by prefix" "delta" "$(complete_words quarvex --filter = d)"
check_eq "quarvex --filter=x as one word" "--filter=x86" "$(complete_words quarvex --filter=x)"
check_eq "quarvex compresses any file" \
  "B.QVX${nl}a.qvx${nl}my dir${nl}notes.txt${nl}sub${nl}two words.qvx" "$(complete_words quarvex -9 '')"
check_eq "quarvex -o takes any name" "notes.txt" "$(complete_words quarvex -o n)"
check_eq "quarvex --test reads archives" \
  "B.QVX${nl}a.qvx${nl}my dir${nl}sub${nl}two words.qvx" "$(complete_words quarvex --test '')"
check_eq "quarvex -l reads archives" "a.qvx" "$(complete_words quarvex -l --json a)"
check_eq "quarvex -d options" "--keep${nl}--keep-partial" "$(complete_words quarvex -d --kee)"
check_eq "quarvex --decompress options" "--stdout" "$(complete_words quarvex --decompress --std)"
check_eq "quarvex -d inputs" "B.QVX${nl}a.qvx${nl}my dir${nl}sub${nl}two words.qvx" \
  "$(complete_words quarvex -d '')"
finish
