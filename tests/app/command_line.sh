#!/usr/bin/env bash
# The real program's command line, with no display, session bus or settings at hand: help and the version are
# answered, Qt's own options go through (a session manager restarts the program with -session ID), anything else is
# refused with status 2; and none of it creates a file, so neither the settings nor a running instance is touched.
set -euo pipefail
stampo=$1
version=$2
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
failed=0

# STATUS, a pattern for standard output, one for standard error, then the arguments.
expect() {
    local status=$1 out=$2 err=$3 got=0 said told
    shift 3
    # Nothing of the caller's environment but the sanitizers' options.
    env -i HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/runtime" \
        ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${LSAN_OPTIONS:+LSAN_OPTIONS="$LSAN_OPTIONS"} \
        ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} "$stampo" "$@" >"$home/.out" 2>"$home/.err" || got=$?
    said=$(cat "$home/.out") told=$(cat "$home/.err")
    rm -f "$home/.out" "$home/.err"
    if [ "$got" != "$status" ] || ! [[ $said =~ $out ]] || ! [[ $told =~ $err ]] || [ -n "$(ls -A "$home")" ]; then
        echo "stampo $*: status $got, standard output: $said, standard error: $told, files made: $(ls -A "$home")" >&2
        failed=1
    fi
}

expect 0 '^使い方: stampo .*--version' '^$' --help
expect 0 '^使い方: stampo' '^$' -h
expect 0 "^stampo $version\$" '^$' --version
expect 0 "^stampo $version" '^$' -session 10c0ffee0123456789 --version
expect 0 "^stampo $version" '^$' --platform=offscreen -reverse -display :9 -v
expect 2 '^$' '不明なオプションです: --frobnicate.*stampo --help' --frobnicate
expect 2 '^$' '不明なオプションです: -reverse=yes' -reverse=yes
expect 2 '^$' '引数は受け付けません: extra' -display :9 extra --help

exit $failed
