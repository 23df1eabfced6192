#!/bin/bash
# needs: nothing
# The suite's own tools: misuses of the vocabulary end a scenario with a BUG, and so, at zt_begin,
# does a build whose names are not the tests'; check-native-paths finds Windows programs called by
# a bare name; scripts/check-windows-exe on altered copies of the executable (no Wine): a GNU ld
# build with a time stamp fails, an MSVC build passes, and the binutils are found as MSYS2 names
# them. The checks of the records are tests/e2e/test_records.py.
. "$(dirname "$0")/../lib.sh"
ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-checks.XXXXXX")
zt_when_finished rm -rf "$ZT_DIR"

# patch OFFSET BYTES...: writes BYTES (octal) at OFFSET from the PE signature of $ZT_DIR/exe.
patch() {
    local offset=$1 pe
    shift
    pe=$(od -An -tu4 -j60 -N4 "$ZT_DIR/exe" | tr -d ' ')
    printf "$(printf '\\%s' "$@")" |
        dd of="$ZT_DIR/exe" bs=1 seek=$((pe + offset)) conv=notrunc status=none
}
check_exe() {
    "$ZT_ROOT/scripts/check-windows-exe" "$ZT_DIR/exe"
}
# The binutils as MSYS2's MINGW32 environment names them, with nothing else on the PATH.
check_exe_as_msys2() {
    local tool
    mkdir -p "$ZT_DIR/msys2"
    for tool in bash grep sed; do
        ln -sf "$(command -v "$tool")" "$ZT_DIR/msys2/$tool"
    done
    for tool in objdump windres; do
        ln -sf "$(command -v "i686-w64-mingw32-$tool")" "$ZT_DIR/msys2/$tool"
    done
    PATH=$ZT_DIR/msys2 check_exe
}
# misuse CODE [SOURCE]: a scenario that sources SOURCE (lib.sh) and runs CODE, its third line, with
# a clean-up registered; what it says and its status.
misuse() {
    printf '%s\n' ". \"\$ZT_ROOT/tests/e2e/\"${2:-lib.sh}" 'zt_when_finished echo cleaned up' "$1" \
        'echo went on' >"$ZT_DIR/misuse.sh"
    ZT_ROOT=$ZT_ROOT bash "$ZT_DIR/misuse.sh" 2>&1
    echo "exit status $?"
}
# expect_bug WHAT FUNCTION WHY CODE [SOURCE]: CODE ends the scenario with FUNCTION's BUG, named at
# CODE's line, and the clean-up runs.
expect_bug() {
    zt_compare "$1" "BUG: $2 at $ZT_DIR/misuse.sh:3: $3
cleaned up
exit status 134" "$(misuse "${@:4}")"
}
expect_bug "zt_require in a \$( ) ends the scenario with a BUG that names the call; clean-up runs" \
    zt_require "does nothing in a subshell" 'out=$(zt_require "a check" true)'
expect_bug "zt_compare given two arguments is a BUG too" \
    zt_compare "wants WHAT EXPECTED ACTUAL, got 2 arguments" 'zt_compare "a comparison" "$(echo x)"'
expect_bug "so is a platform's function given none, named where the check that ran it was called" \
    zt_windows_path "wants PATH, got 0 arguments" 'zt_expect "a path" zt_windows_path'
expect_bug "and a function of msi-lib.sh, sourced without what it sets up" \
    expect_unchanged "wants WHAT BEFORE, got 1 arguments" 'expect_unchanged "the service"' \
    'msi-lib.sh --functions-only'
zt_compare "under set -e (the demo) the clean-up ends a background job, goes on, keeps the status" \
    $'cleaned up\nexit status 3' "$(misuse 'set -e; zt_when_finished zt_end_jobs; sleep 100 & exit 3')"
# A build of a service renamed in contract.h alone: every scenario ends in zt_begin, naming both
# values, before it makes a machine; its clean-up runs.
mkdir "$ZT_DIR/renamed"
sed 's/^SERVICE_NAME=.*/SERVICE_NAME=Renamed Tool/' "$ZT_BUILD/contract.txt" \
    >"$ZT_DIR/renamed/contract.txt"
zt_compare "zt_begin ends a scenario whose build's names are not the tests', naming both" \
    "  FAIL the build's names are the tests' (tests/e2e/product.sh)
       SERVICE_NAME: tests/e2e/product.sh says \"$ZT_SERVICE\", the build read \"Renamed Tool\" from service/contract.h ($ZT_DIR/renamed/contract.txt)
cleaned up
exit status 1" "$(ZT_BUILD=$ZT_DIR/renamed misuse zt_begin)"
# A script and a workflow with a Windows program called by a bare name on their first lines, one
# on each, and none on the others.
printf '%s\n' 'whoami /groups' 'x=$(zt_text SC.exe query)' 'zt_expect_within "sc" 10 reg query' \
    'timeout 5 env A=1 msiexec /x "$code"' 'f() { net start; } && echo "`tasklist`"' \
    'zt_windows_tool sc query && "$ZT_SYSTEM32/whoami.exe" /groups' 'echo "whoami" # sc query' \
    'grep -c taskkill calls; whoami() { :; }' 'whoami /all # bare name allowed' >"$ZT_DIR/bare.sh"
printf '%s\n' 'jobs:' '  windows:' '    steps:' '      - run: whoami' '      - run: |' \
    '          echo && sc query' '      - name: sc query' '        with:' '          path: net' \
    >"$ZT_DIR/bare.yml"
zt_compare "check-native-paths finds the bare names where a command starts, and only those" \
    "$(printf "$ZT_DIR/bare.%s called by a bare name\n" sh:1:\ whoami sh:2:\ SC.exe sh:3:\ reg \
        sh:4:\ msiexec sh:5:\ net sh:5:\ tasklist yml:4:\ whoami yml:6:\ sc)" \
    "$("$ZT_ROOT/tests/e2e/check-native-paths" "$ZT_DIR/bare.sh" "$ZT_DIR/bare.yml")"
if zt_on wine "the executable's checks, which need the mingw-w64 binutils"; then
    cp "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" "$ZT_DIR/exe"
    zt_expect "check-windows-exe finds the binutils without their prefix, as in MSYS2" \
        check_exe_as_msys2
    patch 8 054 033 072 137
    zt_must_fail "check-windows-exe: a GNU ld build with a time stamp fails" check_exe
    patch 26 016
    zt_expect "check-windows-exe: an MSVC build (linker 14), whose stamp is a hash, passes" \
        check_exe
fi
zt_finish
