#!/bin/bash
# needs: prefix
# At stop every process whose file name is the hosted program's, letter case aside, ends with exit
# code 0, wherever it was started from; look-alike names keep running.
. "$(dirname "$0")/../lib.sh"
zt_begin
zt_install_standin

# Copies of the stand-in in the scenario's own folder (C:\ under Wine).
matches=('a\Zentorvik.exe' 'b\ZENTORVIK.EXE')
decoys=('c\XZentorvik.exe' 'c\Zentorvik.exe.bak' 'c\ZentorvikX.exe' 'c\Zentorvik' 'c\Zentorvık.exe' 'c\Zëntorvik.exe')
spawns=()
for name in "${matches[@]}" "${decoys[@]}"; do
    unix=$ZT_SCRATCH/${name//\\//}
    mkdir -p "$(dirname "$unix")"
    cp "$ZT_TOOLS/$ZT_STANDIN" "$unix"
    spawns+=(spawn "$ZT_SCRATCH_WIN\\$name")
done

total=$((${#matches[@]} + ${#decoys[@]} + 1))
zt_driver run "${spawns[@]}" watch-log "$ZT_STANDIN_LOG" $((total - 1)) 60000 \
    start wait RUNNING 60000 watch-log "$ZT_STANDIN_LOG" "$total" 30000 \
    control stop wait STOPPED 10000 service-exit 10000 exits 1000
log=$ZT_DIR/run.log

zt_compare "all $total programs ran" "$total" "$(zt_standin_starts | wc -l)"
# Each image path is one process's, compared whole: the check sees that process alone, not one
# whose path merely contains it (c\Zentorvik in c\Zentorvik.exe.bak).
zt_expect "the launched instance ended with exit code 0" \
    zt_records expect-outcome "$log" "$ZT_HOSTED_EXE" exited 0
for name in "${matches[@]}"; do
    zt_expect "$name ended with exit code 0" \
        zt_records expect-outcome "$log" "$ZT_SCRATCH_WIN\\$name" exited 0
done
for name in "${decoys[@]}"; do
    zt_expect "$name still runs" zt_records expect-outcome "$log" "$ZT_SCRATCH_WIN\\$name" running
done
zt_compare "the service stopped with exit code 0" \
    0 "$(zt_records field "$log" code event=service-exit)"
zt_expect "the stop within walk + poll + slack" zt_records expect-stop "$log"
zt_finish
