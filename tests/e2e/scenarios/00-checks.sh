#!/bin/bash
# The scenarios' own checks, on made-up records (no Wine): the trace comparison allows exactly the
# orders the threads leave open, image paths are compared whole, and a stop one poll too slow fails.
# Then scripts/check-windows-exe on altered copies of the executable.
. "$(dirname "$0")/../lib.sh"
ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-checks.XXXXXX")
trap 'rm -rf "$ZT_DIR"' EXIT

mapfile -t normal <<<"$ZT_NORMAL_TRACE"
# same_trace EXPECTED MESSAGE...: the comparison of the messages, as received, with EXPECTED.
same_trace() {
    local expected=$1
    shift
    printf "123 $ZT_PREFIX_TEXT%s\n" "$@" >"$ZT_DIR/trace.txt"
    zt_same_trace "$expected" >/dev/null
}
accepted() {
    zt_check "accepted: $1" same_trace "$ZT_NORMAL_TRACE" "${@:2}"
}
refused() {
    zt_check "refused: $1" not same_trace "$ZT_NORMAL_TRACE" "${@:2}"
}
not() {
    ! "$@"
}
handler_stop=("ServiceCtrlHandler: Entry" "ServiceCtrlHandler: SERVICE_CONTROL_STOP Request"
              "ServiceCtrlHandler: Exit")
handler_other=("ServiceCtrlHandler: Entry" "ServiceCtrlHandler: Exit")

accepted "the normal order" "${normal[@]}"
accepted "without ServiceMain's exit" "${normal[@]:0:11}" "Main: Exit"
accepted "Main: Exit before ServiceMain: Exit" "${normal[@]:0:11}" "Main: Exit" "ServiceMain: Exit"
accepted "the stop before the worker entered" "${normal[@]:0:3}" "${handler_stop[@]}" \
    "ServiceWorkerThread: Entry" "ServiceMain: Waiting for Worker Thread to complete" \
    "${normal[@]:8}"
accepted "the handler's exit last but Main: Exit" "${normal[@]:0:7}" "${normal[@]:8:4}" \
    "ServiceCtrlHandler: Exit" "Main: Exit"
zt_check "accepted: another control while the worker enters" same_trace "$(
    printf '%s\n' "${normal[@]:0:5}" "${handler_other[@]}" "${normal[@]:5}")" \
    "${normal[@]:0:3}" "ServiceCtrlHandler: Entry" "ServiceWorkerThread: Entry" \
    "ServiceCtrlHandler: Exit" "ServiceMain: Waiting for Worker Thread to complete" "${normal[@]:5}"

refused "ServiceMain before Main: Entry" "${normal[1]}" "${normal[0]}" "${normal[@]:2}"
refused "the worker before the start operations" "${normal[@]:0:2}" "${normal[4]}" \
    "${normal[@]:2:2}" "${normal[@]:5}"
refused "a control before the start operations" "${normal[@]:0:2}" "${normal[5]}" \
    "${normal[@]:2:3}" "${normal[@]:6}"
refused "the worker's exit before the stop request" "${normal[@]:0:6}" "${normal[8]}" \
    "${normal[@]:6:2}" "${normal[@]:9}"
refused "the join before the worker's exit" "${normal[@]:0:8}" "${normal[9]}" "${normal[8]}" \
    "${normal[@]:10}"
refused "Main: Exit before the cleanup" "${normal[@]:0:10}" "Main: Exit" "${normal[@]:10:2}"
refused "the handler's exit before its stop request" "${normal[@]:0:6}" "${normal[7]}" \
    "${normal[6]}" "${normal[@]:8}"
refused "a message missing" "${normal[@]:0:8}" "${normal[@]:9}"
refused "a message twice" "${normal[@]}" "ServiceMain: Exit"

cat >"$ZT_DIR/run.log" <<'END'
10.0 process pid=40 exit=0 image=C:\c\Zentorvik.exe.bak
10.1 process pid=44 running image=C:\c\Zentorvik
10.2 process pid=48 exit=0 image=C:\b\Zentorvik.exe
10.3 process pid=52 exit=0 image=C:\a\b\Zentorvik.exe
END
zt_check "a path is told apart from a longer one that contains it" \
    test "$(zt_process_outcome "$ZT_DIR/run.log" 'C:\c\Zentorvik')" = running
zt_check "a path is told apart from one it ends" \
    test "$(zt_process_outcome "$ZT_DIR/run.log" 'C:\b\Zentorvik.exe')" = exit=0
zt_check "a path matches whatever its letter case (Windows reports C:\\Windows)" \
    test "$(zt_process_outcome "$ZT_DIR/run.log" 'c:\A\B\zentorvik.EXE')" = exit=0

# stop_log WALK PENDING-TO-STOPPED: a driver log of one stop with those times.
stop_log() {
    printf '%s\n' "100.0 control stop" "$((100 + $1)).4 status type=0x10 state=STOP_PENDING" \
        "$((100 + $1)).9 control stop ok state=STOP_PENDING checkpoint=4" \
        "$((100 + $1 + $2)).2 status type=0x10 state=STOPPED" >"$ZT_DIR/stop.log"
}
stop_log 150 $((ZT_POLL_MS + ZT_STOP_SLACK_MS - 10))
zt_check "a stop within walk + poll + slack passes" \
    test "$(zt_stop_excess "$ZT_DIR/stop.log")" -le "$ZT_STOP_SLACK_MS"
stop_log 150 5000
zt_check "a stop one 5000 ms poll long fails" \
    test "$(zt_stop_excess "$ZT_DIR/stop.log")" -gt "$ZT_STOP_SLACK_MS"

# patch OFFSET BYTES...: writes BYTES (octal) at OFFSET from the PE signature of $ZT_DIR/exe.
patch() {
    local offset=$1 pe
    shift
    pe=$(od -An -tu4 -j60 -N4 "$ZT_DIR/exe" | tr -d ' ')
    printf "$(printf '\\%s' "$@")" |
        dd of="$ZT_DIR/exe" bs=1 seek=$((pe + offset)) conv=notrunc status=none
}
check_exe() {
    "$ZT_ROOT/scripts/check-windows-exe" "$ZT_DIR/exe" >/dev/null 2>&1
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
if zt_on wine "the executable's checks, which need the mingw-w64 binutils"; then
    cp "$ZT_BUILD/OrveldenZentorvikTool.exe" "$ZT_DIR/exe"
    zt_check "check-windows-exe finds the binutils without their prefix, as in MSYS2" check_exe_as_msys2
    patch 8 054 033 072 137
    zt_check "check-windows-exe: a GNU ld build with a time stamp fails" not check_exe
    patch 26 016
    zt_check "check-windows-exe: an MSVC build (linker 14), whose stamp is a hash, passes" check_exe
fi
zt_finish
