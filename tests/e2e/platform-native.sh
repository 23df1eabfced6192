# On Windows (ZT_PLATFORM=native), in Git Bash as administrator, sourced by lib.sh. The machine is
# kept: what a scenario may leave is removed before and after it.

# Git Bash would turn arguments that look like paths (/c, /dir, /qn) into Windows paths.
export MSYS_NO_PATHCONV=1 MSYS2_ARG_CONV_EXCL='*'
[ -n "${SYSTEMROOT:-}" ] || { echo "tests/e2e: SYSTEMROOT is not set" >&2; exit 2; }
ZT_SYSTEM32=$(cygpath -u "$SYSTEMROOT\\System32")
ZT_C=$(cygpath -u 'C:\')
ZT_C=${ZT_C%/}
ZT_RUN=()
ZT_STANDIN=hosted-standin.exe

# zt_prepare_suite WORK: run-all's look at $ZT_BUILD's programs and at the machine; says FAIL and what.
zt_prepare_suite() {
    zt_args 'WORK' "$@"
    [ -f "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" ] && [ -f "$ZT_BUILD/programs/service-driver.exe" ] ||
        { echo "FAIL build: no programs in $ZT_BUILD"; return 1; }
    zt_native_machine_ready || { echo "FAIL machine"; return 1; }
}

# zt_platform_begin: the machine cleaned, now and at the end; the service registered from a copy.
zt_platform_begin() {
    zt_when_finished zt_native_clean
    ZT_TOOLS=$ZT_DIR/service
    ZT_SCRATCH=$ZT_DIR/scratch
    ZT_DRIVER=$ZT_TOOLS/service-driver.exe
    ZT_WRITER=$ZT_TOOLS/debug-writer.exe
    ZT_MONITOR=$ZT_TOOLS/dbwin-monitor.exe
    {
        zt_native_clean && mkdir "$ZT_TOOLS" "$ZT_SCRATCH" &&
            cp "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" "$ZT_BUILD"/programs/*.exe "$ZT_TOOLS/" &&
            # Long names, as Windows reports image paths (the temporary folder may be RUNNER~1).
            ZT_SCRATCH_WIN=$(cygpath -w -l "$ZT_SCRATCH") &&
            ZT_SERVICE_EXE=$(cygpath -w -l "$ZT_TOOLS/$ZT_SERVICE_EXE_NAME") &&
            # Quoted, since the folder's path may have spaces.
            zt_windows_tool sc create "$ZT_SERVICE" binPath= "\"$ZT_SERVICE_EXE\"" type= own
    } >"$ZT_DIR/begin.out" 2>&1 || {
        echo "  FAIL registering the service from $ZT_DIR"
        zt_indented <"$ZT_DIR/begin.out"
        zt_abort
    }
}

# zt_windows_tool NAME [ARGUMENT...]: Windows' own program NAME (sc, reg, ...), by its full path.
zt_windows_tool() {
    zt_args 'NAME [ARGUMENT...]' "$@"
    "$ZT_SYSTEM32/$1.exe" "${@:2}" </dev/null
}

# zt_python ARGUMENT...: $ZT_PYTHON, a Windows program, so with Git Bash's path conversion.
zt_python() {
    env -u MSYS_NO_PATHCONV -u MSYS2_ARG_CONV_EXCL "$ZT_PYTHON" "$@"
}

# zt_windows_path PATH: the Windows path of a Linux (Git Bash) path.
zt_windows_path() {
    zt_args 'PATH' "$@"
    cygpath -w "$1"
}

# zt_hosted_pids: the process ids of the running programs named $ZT_HOSTED_IMAGE.
zt_hosted_pids() {
    zt_args '' "$@"
    zt_native_pids "$ZT_HOSTED_IMAGE"
}

# zt_service_failure OUTPUT: sc.exe's failed query: ABSENT for 1060 alone, MARKED for 1072 (marked
# for deletion), otherwise sc.exe's own words.
zt_service_failure() {
    case $(sed -n 's/.* FAILED \([0-9]*\):.*/\1/p' <<<"$1") in
    1060) echo ABSENT ;;
    1072) echo MARKED ;;
    *) echo "sc.exe query failed: $(grep . <<<"$1" | paste -sd ' ' -)" ;;
    esac
}

# zt_boot: Windows is not restarted: an automatic service that does not run is started.
zt_boot() {
    zt_args '' "$@"
    zt_text zt_windows_tool sc qc "$ZT_SERVICE" | grep -q 'START_TYPE *: *2 ' || return 0
    zt_service_in RUNNING || zt_windows_tool sc start "$ZT_SERVICE" >/dev/null
}

# zt_native_clean: products uninstalled, the service removed, the stand-ins ended, their files and
# the installed folder deleted. Fails when the service stays.
zt_native_clean() {
    local code status=0
    for code in $(zt_installed_products | sed 's/^[^ ]* //'); do
        zt_windows_tool msiexec /x "$code" /qn >/dev/null 2>&1
    done
    zt_native_remove_service || status=1
    if [ -s "$(zt_c_file "$ZT_STANDIN_LOG")" ]; then
        : >"$(zt_c_file "$ZT_STANDIN_QUIT")"
        zt_wait_for 10 zt_native_standins_gone || echo "  note stand-ins still running after 10 s"
    fi
    rm -f "$(zt_c_file "$ZT_HOSTED_EXE")" "$(zt_c_file "$ZT_STANDIN_LOG")" \
        "$(zt_c_file "$ZT_STANDIN_QUIT")"
    rm -rf "$(zt_install_dir)"
    return "$status"
}

# zt_native_remove_service: the service stopped (its process ended by id after 30 s) and deleted;
# one still MARKED has its programs ended by image name. One that stays would stay until Windows
# restarts: that fails, saying so.
zt_native_remove_service() {
    local pid state
    state=$(zt_service_state)
    [ "$state" != ABSENT ] || return 0
    if [ "$state" != MARKED ]; then
        zt_windows_tool sc stop "$ZT_SERVICE" >/dev/null 2>&1
        if ! zt_wait_for 30 zt_service_in STOPPED ABSENT; then
            pid=$(zt_text zt_windows_tool sc queryex "$ZT_SERVICE" |
                sed -n 's/^ *PID *: *\([1-9][0-9]*\).*/\1/p')
            [ -z "$pid" ] || zt_windows_tool taskkill /f /pid "$pid" >/dev/null 2>&1
        fi
        zt_windows_tool sc delete "$ZT_SERVICE" >/dev/null 2>&1
        zt_wait_for 10 zt_service_in ABSENT && return 0
    fi
    zt_windows_tool taskkill /f /im "$ZT_SERVICE_EXE_NAME" >/dev/null 2>&1
    zt_windows_tool taskkill /f /im "$ZT_HOSTED_IMAGE" >/dev/null 2>&1
    zt_wait_for 30 zt_service_in ABSENT && return 0
    echo "tests/e2e: the service \"$ZT_SERVICE\" is still there ($(zt_service_state)) with its" \
        "programs ended: restart Windows, then run the scenarios again" >&2
    return 1
}

# zt_native_standins_gone: whether no process the stand-in's log names runs.
zt_native_standins_gone() {
    local running pid
    running=" $(zt_native_pids | xargs) "
    for pid in $(zt_standin_starts); do
        [[ $running != *" $pid "* ]] || return 1
    done
}

# zt_native_pids [NAME]: the process ids of the programs named NAME (any case), or of all.
zt_native_pids() {
    local filter=()
    [ $# -eq 0 ] || filter=(/fi "IMAGENAME eq $1")
    zt_text zt_windows_tool tasklist "${filter[@]}" /fo csv /nh 2>/dev/null |
        sed -n 's/^"[^"]*","\([0-9]*\)",.*/\1/p'
}

# zt_native_machine_ready: an elevated prompt and none of what the suite replaces, removes or ends,
# so that its cleaning up takes only what it made; else says what stands in the way.
zt_native_machine_ready() {
    local found=() state
    zt_windows_tool whoami /groups 2>/dev/null | grep -qE 'S-1-16-(12288|16384)' ||
        found+=("this prompt is not elevated: run Git Bash as administrator")
    state=$(zt_service_state)
    [ "$state" = ABSENT ] || found+=("the service \"$ZT_SERVICE\" is registered ($state)")
    [ ! -e "$(zt_c_file "$ZT_HOSTED_EXE")" ] || found+=("$ZT_HOSTED_EXE is there")
    [ ! -e "$(zt_install_dir)" ] || found+=("$ZT_INSTALL_DIR_WIN is there")
    [ -z "$(zt_installed_products)" ] || found+=("the installer package is installed")
    [ -z "$(zt_native_pids "$ZT_HOSTED_IMAGE")" ] || found+=("a $ZT_HOSTED_IMAGE is running")
    [ ${#found[@]} -ne 0 ] || return 0
    printf 'tests/e2e: %s\n' "${found[@]}" >&2
    echo "tests/e2e: the suite would replace, remove or end them:" \
        "remove them first, or use a spare machine" >&2
    return 1
}
