# The scenarios under Wine (ZT_PLATFORM=wine, the default), sourced by lib.sh. Each scenario runs
# in its own copy of a booted 64-bit prefix (WINEARCH=win64, loader wine64), whose template has
# the service registered from C:\zt ($ZT_SERVICE_EXE) and the test programs in C:\zt, their
# x86-64 builds in C:\zt\x64. Wine's own programs (services.exe, sc, reg, msiexec) and the x86-64
# ones run natively; the 32-bit ones (the service, the cmd/start it launches, the monitor, the
# 32-bit stand-in) go through the 32-bit loader, through qemu where the kernel runs no 32-bit
# code. Nothing touches ~/.wine. Defines what platform-native.sh defines, but for
# zt_prepare_suite (natively run-all's; here ctest's fixtures, make-template and build-packages,
# prepare the suite), and zt_env and zt_make_template.

ZT_WINE=/usr/lib/wine/wine64
ZT_WINESERVER=/usr/lib/wine/wineserver64
# What runs a test program; the paths are the template's, inside the prefix.
ZT_RUN=("$ZT_WINE")
ZT_SERVICE_EXE="C:\\zt\\$ZT_SERVICE_EXE_NAME"
ZT_DRIVER='C:\zt\x64\service-driver.exe'
ZT_WRITER='C:\zt\x64\debug-writer.exe'
# The stand-in for the hosted program, in $ZT_TOOLS (zt_install_standin).
ZT_STANDIN=x64/hosted-standin.exe
ZT_MONITOR='C:\zt\dbwin-monitor.exe'
# The interpreter itself, found once: what the PATH finds may be a version manager's shim (pyenv's
# costs a third of a second a call, and the reader runs hundreds of times a run).
ZT_PYTHON=$("$ZT_PYTHON" -c 'import sys; print(sys.executable)' 2>/dev/null || echo "$ZT_PYTHON")

# zt_env PREFIX: the environment of Wine's programs in that prefix.
zt_env() {
    zt_args 'PREFIX' "$@"
    export WINEPREFIX=$1 WINEARCH=win64 WINELOADER=$ZT_WINE WINESERVER=$ZT_WINESERVER
    export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
}

# zt_make_template DIR: boots a prefix in DIR, registers the service and installs the programs
# (about 15 s).
zt_make_template() {
    zt_args 'DIR' "$@"
    local dir=$1
    (
        zt_env "$dir"
        "$ZT_WINE" wineboot -i >/dev/null 2>&1 </dev/null
        # The server that wineboot started keeps a second services.exe around; start afresh.
        "$ZT_WINESERVER" -k 2>/dev/null
        "$ZT_WINESERVER" -w
        "$ZT_WINESERVER" -p
        trap '"$ZT_WINESERVER" -k 2>/dev/null; "$ZT_WINESERVER" -w' EXIT
        mkdir -p "$dir/drive_c/zt/x64"
        cp "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" "$ZT_BUILD"/programs/*.exe "$dir/drive_c/zt/"
        cp "$ZT_BUILD"/programs-x64/programs/*.exe "$dir/drive_c/zt/x64/" || echo "make-template:" \
            "no x86-64 test programs; scripts/setup installs their compiler, then build again" >&2
        "$ZT_WINE" 'C:\windows\system32\sc.exe' create "$ZT_SERVICE" binpath= "$ZT_SERVICE_EXE" \
            type= own >/dev/null 2>&1 </dev/null
    ) || return 1
    [ -f "$dir/drive_c/zt/x64/service-driver.exe" ] &&
        grep -qF "$ZT_SERVICE" "$dir/system.reg"
}

# zt_platform_begin: the scenario's machine, a copy of the template with its own server, ended
# when the scenario ends. Without a template (a scenario run on its own) it makes one first.
zt_platform_begin() {
    if [ -z "${ZT_TEMPLATE:-}" ]; then
        zt_require "a template prefix made for this scenario" zt_make_template "$ZT_DIR/template"
        ZT_TEMPLATE=$ZT_DIR/template
    fi
    # Wine's libraries, nine tenths of its 1.3 GB and only read, are links to the template's, the
    # rest copies; all of it is copied where no link can be made (another file system).
    cp -al "$ZT_TEMPLATE" "$ZT_DIR/prefix" 2>/dev/null && (cd "$ZT_TEMPLATE" &&
        find . -type f ! -name '*.dll' -print0 | xargs -0 cp -a --parents --remove-destination -t "$ZT_DIR/prefix") ||
        { rm -rf "$ZT_DIR/prefix" && cp -a "$ZT_TEMPLATE" "$ZT_DIR/prefix"; }
    zt_env "$ZT_DIR/prefix"
    ZT_C=$WINEPREFIX/drive_c
    ZT_TOOLS=$ZT_C/zt
    # The prefix is thrown away: the scenario's files may go anywhere in it.
    ZT_SCRATCH=$ZT_C
    ZT_SCRATCH_WIN='C:'
    zt_when_finished zt_wine_end
    "$ZT_WINESERVER" -p
}

# zt_wine_end: ends the prefix's server and every program of the prefix with it.
zt_wine_end() {
    "$ZT_WINESERVER" -k 2>/dev/null
    "$ZT_WINESERVER" -w 2>/dev/null
}

# zt_windows_tool NAME [ARGUMENT...]: Windows' own program NAME (sc, reg, msiexec, ...), the
# prefix's, by its full path: given a bare name, Wine's loader runs it through a start.exe.
zt_windows_tool() {
    zt_args 'NAME [ARGUMENT...]' "$@"
    "$ZT_WINE" "C:\\windows\\system32\\$1.exe" "${@:2}" </dev/null
}

# zt_python ARGUMENT...: Python 3 ($ZT_PYTHON), for the reader.
zt_python() {
    zt_args 'ARGUMENT...' "$@"
    "$ZT_PYTHON" "$@"
}

# zt_windows_path PATH: the Windows path of a Linux file, through drive Z:.
zt_windows_path() {
    zt_args 'PATH' "$@"
    printf 'Z:%s\n' "${1//\//\\}"
}

# zt_hosted_pids: the process ids of the running programs named $ZT_HOSTED_IMAGE in this prefix,
# Linux ones, since Wine's tasklist prints nothing.
zt_hosted_pids() {
    zt_args '' "$@"
    zt_wine_pids "$ZT_HOSTED_IMAGE"
}

# zt_wine_pids IMAGE: the Linux process ids of this prefix's Wine processes running IMAGE (the
# file name, letter case aside). Wine puts the Windows command line in the process's arguments,
# after the loader (and the emulator, under qemu-i386): the first that is no Linux path names the
# image.
zt_wine_pids() {
    zt_args 'IMAGE' "$@"
    local pid image
    for pid in $(pgrep -f -i -- "${1//./\\.}"); do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX" ||
            continue
        image=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" | grep -v -m1 '^/')
        image=${image##*\\}
        [ "${image,,}" = "${1,,}" ] && echo "$pid"
    done
}

# zt_service_failure OUTPUT: what a failed sc.exe query says of the service. Wine's sc.exe says
# nothing and exits 1 whatever the error, and Wine's service controller opens a service marked
# for deletion: here only a missing service fails, ABSENT.
zt_service_failure() {
    zt_args 'OUTPUT' "$@"
    echo ABSENT
}

# zt_boot: as a boot would, a new server for the prefix, whose service controller reads the
# registry afresh and starts the services registered to start automatically.
zt_boot() {
    zt_args '' "$@"
    zt_wine_end
    "$ZT_WINESERVER" -p
    # The first client of the service controller starts services.exe, which keeps that client's
    # output open: let it be /dev/null, not the pipe of a command substitution.
    zt_windows_tool sc query "$ZT_SERVICE" >/dev/null 2>&1
}
