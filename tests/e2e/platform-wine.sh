# Under Wine (the default), sourced by lib.sh: each scenario in its own copy of a booted 64-bit
# prefix, with the service and the test programs in C:\zt (their x86-64 builds in C:\zt\x64).

ZT_WINE=/usr/lib/wine/wine64
ZT_WINESERVER=/usr/lib/wine/wineserver64
ZT_RUN=("$ZT_WINE")
ZT_SERVICE_EXE="C:\\zt\\$ZT_SERVICE_EXE_NAME"
ZT_DRIVER='C:\zt\x64\service-driver.exe'
ZT_WRITER='C:\zt\x64\debug-writer.exe'
ZT_STANDIN=x64/hosted-standin.exe
ZT_MONITOR='C:\zt\dbwin-monitor.exe'
# The interpreter itself, unless given by its path (ctest gives it): what the PATH finds may be a
# version manager's shim (pyenv's costs a third of a second a call).
[ "${ZT_PYTHON#/}" != "$ZT_PYTHON" ] ||
    ZT_PYTHON=$("$ZT_PYTHON" -c 'import sys; print(sys.executable)' 2>/dev/null || echo "$ZT_PYTHON")

# zt_env PREFIX: the environment of Wine's programs in that prefix, without the parts of Wine that
# no scenario uses and every server start would run: .NET, the browser, the desktop's menus and the
# USB and HID drivers.
zt_env() {
    export WINEPREFIX=$1 WINEARCH=win64 WINELOADER=$ZT_WINE WINESERVER=$ZT_WINESERVER WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,winebus.sys,wineusb.sys=" LANG=C.UTF-8
}

# zt_make_template DIR: a booted prefix in DIR with the service and the programs (about 15 s).
zt_make_template() {
    zt_args 'DIR' "$@"
    local dir=$1
    # Wine makes a prefix in an empty folder, not in a folder whose parent is missing.
    mkdir -p "$dir" || return 1
    (
        zt_env "$dir"
        "$ZT_WINE" wineboot -i >/dev/null 2>&1 </dev/null || exit 1
        # The server that wineboot started keeps a second services.exe around; start afresh.
        zt_wine_end
        zt_wine_start || exit 1
        trap zt_wine_end EXIT
        mkdir -p "$dir/drive_c/zt/x64"
        cp "$ZT_BUILD/$ZT_SERVICE_EXE_NAME" "$ZT_BUILD"/programs/*.exe "$dir/drive_c/zt/"
        cp "$ZT_BUILD"/programs-x64/programs/*.exe "$dir/drive_c/zt/x64/" || echo "make-template:" \
            "no x86-64 test programs; scripts/setup installs their compiler, then build again" >&2
        zt_windows_tool sc create "$ZT_SERVICE" binpath= "$ZT_SERVICE_EXE" type= own >/dev/null 2>&1
        # Started by each boot of each copy, and used by nothing here: Wine's event log and network.
        for unused in Eventlog NDIS nsiproxy; do
            zt_windows_tool reg add "${ZT_SERVICE_KEY%\\*}\\$unused" /v Start \
                /t REG_DWORD /d 3 /f >/dev/null
        done
    ) || return 1
    [ -f "$dir/drive_c/zt/x64/service-driver.exe" ] && grep -qF "$ZT_SERVICE" "$dir/system.reg"
}

# zt_platform_begin: a copy of the template (made first for a scenario run alone), its own server.
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
    zt_wine_start
}

# zt_wine_start: the prefix's server, once its service controller answers. The first client starts
# services.exe; on a loaded machine a program that asks for the controller before it listens is
# refused (1722, the server unavailable). services.exe keeps its first client's output open, so
# that output is /dev/null, not the pipe of a command substitution.
zt_wine_start() {
    "$ZT_WINESERVER" -p
    zt_wait_for 60 zt_windows_tool sc query PlugPlay >/dev/null 2>&1
}

# zt_wine_end: ends the prefix's server and every program of the prefix.
zt_wine_end() {
    "$ZT_WINESERVER" -k 2>/dev/null
    "$ZT_WINESERVER" -w 2>/dev/null
}

# zt_windows_tool NAME [ARGUMENT...]: the prefix's NAME.exe by its full path (a bare name would
# run through a start.exe).
zt_windows_tool() {
    zt_args 'NAME [ARGUMENT...]' "$@"
    "$ZT_WINE" "C:\\windows\\system32\\$1.exe" "${@:2}" </dev/null
}

# zt_python ARGUMENT...: Python 3 ($ZT_PYTHON), for the reader.
zt_python() {
    "$ZT_PYTHON" "$@"
}

# zt_windows_path PATH: the Windows path of a Linux file, through drive Z:.
zt_windows_path() {
    zt_args 'PATH' "$@"
    printf 'Z:%s\n' "${1//\//\\}"
}

# zt_hosted_pids: the process ids of the running programs named $ZT_HOSTED_IMAGE in this prefix.
zt_hosted_pids() {
    zt_args '' "$@"
    zt_wine_pids "$ZT_HOSTED_IMAGE"
}

# zt_wine_pids IMAGE: this prefix's Linux processes running IMAGE (any case), as Wine's tasklist
# prints nothing. Their first argument that is no Linux path is the Windows command line.
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

# zt_service_failure OUTPUT: Wine's sc.exe says nothing whatever the error, and only a missing
# service fails (its controller opens a marked one).
zt_service_failure() {
    echo ABSENT
}

# zt_boot: as a boot would, a new server, whose controller starts the automatic services.
zt_boot() {
    zt_args '' "$@"
    zt_wine_end
    zt_wine_start
}
