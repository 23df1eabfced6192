#!/bin/bash
# needs: nothing
# A sanity check of each of the suite's own tools but the reader (test_records.py), and of
# check-windows-exe, which the Windows workflow runs on real GNU ld and MSVC builds.
. "$(dirname "$0")/../lib.sh"
ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-checks.XXXXXX")
zt_when_finished rm -rf "$ZT_DIR"

# misuse CODE: what a scenario that runs CODE, its third line, with a clean-up, says; its status.
misuse() {
    printf '%s\n' ". \"\$ZT_ROOT/tests/e2e/lib.sh\"" 'zt_when_finished echo cleaned up' "$1" \
        'echo went on' >"$ZT_DIR/misuse.sh"
    ZT_ROOT=$ZT_ROOT bash "$ZT_DIR/misuse.sh" 2>&1
    echo "exit status $?"
}
zt_compare "zt_require in a \$( ) ends the scenario with a BUG that names the call; clean-up runs" \
    "BUG: zt_require at $ZT_DIR/misuse.sh:3: does nothing in a subshell
cleaned up
exit status 134" "$(misuse 'out=$(zt_require "a check" true)')"
zt_compare "under set -e (the demo) the clean-up ends a background job, goes on, keeps the status" \
    $'cleaned up\nexit status 3' "$(misuse 'set -e; zt_when_finished zt_end_jobs; sleep 100 & exit 3')"
mkdir "$ZT_DIR/renamed"
sed 's/^SERVICE_NAME=.*/SERVICE_NAME=Renamed Tool/' "$ZT_BUILD/contract.txt" \
    >"$ZT_DIR/renamed/contract.txt"
zt_compare "zt_begin ends a scenario whose build's names are not the tests', naming both" \
    "  FAIL the build's names are the tests' (tests/e2e/product.sh)
       SERVICE_NAME: tests/e2e/product.sh says \"$ZT_SERVICE\", the build read \"Renamed Tool\" from service/contract.h ($ZT_DIR/renamed/contract.txt)
cleaned up
exit status 1" "$(ZT_BUILD=$ZT_DIR/renamed misuse zt_begin)"
printf '%s\n' 'x=$(zt_text SC.exe query) && "$ZT_SYSTEM32/whoami.exe"' 'zt_windows_tool sc query' \
    'echo "whoami" # sc query' >"$ZT_DIR/bare.sh"
zt_compare "check-native-paths finds a bare name where a command starts, and only there" \
    "$ZT_DIR/bare.sh:1: SC.exe called by a bare name" \
    "$("$ZT_ROOT/tests/e2e/check-native-paths" "$ZT_DIR/bare.sh")"
if zt_on wine "the executable's checks, which need the mingw-w64 binutils"; then
    cp "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" "$ZT_DIR/exe"
    pe=$(od -An -tu4 -j60 -N4 "$ZT_DIR/exe")
    # A time stamp in the PE header, then the MSVC linker's version (14) in the optional header.
    printf '\x2c\x1b\x3a\x5f' | dd of="$ZT_DIR/exe" bs=1 seek=$((pe + 8)) conv=notrunc status=none
    zt_must_fail "check-windows-exe: a GNU ld build with a time stamp fails" \
        "$ZT_ROOT/scripts/check-windows-exe" "$ZT_DIR/exe"
    printf '\x0e' | dd of="$ZT_DIR/exe" bs=1 seek=$((pe + 26)) conv=notrunc status=none
    zt_expect "check-windows-exe: an MSVC build, whose stamp is a hash, passes" \
        "$ZT_ROOT/scripts/check-windows-exe" "$ZT_DIR/exe"
fi
zt_finish
