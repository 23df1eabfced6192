# Sourced by the deployment scenarios (deploy-scripts.sh, msi.sh): the packages under test, a stand-in
# for the hosted program, and waiting on the service and its program in one Wine prefix.

SERVICE="Orvelden Zentorvik Tool"
SERVICE_KEY='HKLM\System\CurrentControlSet\Services\Orvelden Zentorvik Tool'
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

fail() {
    echo "FAIL: $*" >&2
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        {
            echo "  service: $(service_state); hosted program's processes: $(hosted_pids | xargs)"
            wine reg query "$SERVICE_KEY" 2>&1 | sed 's/^/  /'
            find "$WINEPREFIX/drive_c" -ipath '*orvelden*' | sed 's/^/  /'
        } >&2
    fi
    exit 1
}

pass() {
    echo "ok: $*"
}

# Builds the zip and the MSI; sets PACKAGE_DIR (the unpacked zip) and MSI.
build_packages() {
    local build=$ROOT/build/windows-x86
    (cd "$ROOT" && cmake --preset windows-x86 >/dev/null &&
        cmake --build --preset windows-x86 --target package >/dev/null) || fail "package target"
    local version
    version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
    MSI=$build/OrveldenZentorvikTool-$version-x86.msi
    [ -f "$MSI" ] || fail "the package target wrote no $MSI"
    unzip -q -o "$build/OrveldenZentorvikTool-$version-win32.zip" -d "$WORK"
    PACKAGE_DIR=$WORK/OrveldenZentorvikTool-$version-win32
    [ -f "$PACKAGE_DIR/install.cmd" ] || fail "the zip has no install.cmd"
}

# Windows path of a file under $WORK, through drive Z:.
winpath() {
    printf 'Z:%s' "${1//\//\\}"
}

# The hosted program's stand-in: it records its command line in c:\windows\temp\zentorvik-<pid>
# once it runs, then waits until it is terminated.
install_standin() {
    cat >"$WORK/standin.c" <<'EOF'
#include <stdio.h>
#include <windows.h>
int main(void) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "c:\\windows\\temp\\zentorvik-%lu", GetCurrentProcessId());
    FILE *marker = fopen(path, "w");
    if (marker) {
        fputs(GetCommandLineA(), marker);
        fclose(marker);
    }
    for (;;)
        Sleep(1000);
}
EOF
    i686-w64-mingw32-gcc -O2 -s -o "$WINEPREFIX/drive_c/windows/Zentorvik.exe" "$WORK/standin.c"
    rm -f "$WINEPREFIX"/drive_c/windows/temp/zentorvik-*
}

# Linux process ids of this prefix's processes running an image named Zentorvik.exe.
hosted_pids() {
    local pid image
    for pid in $(pgrep -f -i 'zentorvik\.exe' || true); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
        # argv: [qemu] [wine loader] <Windows image path> <arguments>
        image=$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | grep -v -m1 '^/')
        image=${image##*\\}
        [ "${image,,}" = zentorvik.exe ] || continue
        echo "$pid"
    done
}

# Markers of stand-ins that started, one line each: the command line they were given.
hosted_starts() {
    cat "$WINEPREFIX"/drive_c/windows/temp/zentorvik-* 2>/dev/null || true
}

# The service's state as sc shows it (RUNNING, STOPPED, ...), or ABSENT.
service_state() {
    local out
    out=$(wine sc query "$SERVICE" 2>/dev/null) || { echo ABSENT; return; }
    sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' <<<"$out"
}

# One value of the service's registry key, as reg prints it (type and data), or nothing.
service_value() {
    wine reg query "$SERVICE_KEY" /v "$1" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$1 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p"
}

service_key_exists() {
    wine reg query "$SERVICE_KEY" >/dev/null 2>&1
}

# wait_until SECONDS WHAT COMMAND...: polls COMMAND every half second until it succeeds.
wait_until() {
    local seconds=$1 what=$2 started=$SECONDS
    shift 2
    until "$@"; do
        [ $((SECONDS - started)) -lt "$seconds" ] || fail "$what: not within ${seconds}s"
        sleep 0.5
    done
    pass "$what ($((SECONDS - started))s)"
}

state_is() {
    [ "$(service_state)" = "$1" ]
}

hosted_started() {
    [ -n "$(hosted_starts)" ] && [ -n "$(hosted_pids)" ]
}

hosted_gone() {
    [ -z "$(hosted_pids)" ]
}

# A 32-bit start goes through four emulated processes (service, cmd, start, the program).
START_SECONDS=${E2E_START_SECONDS:-600}

# Starts the service and waits until it runs and its program is up with the argument -s.
start_and_check_hosted() {
    rm -f "$WINEPREFIX"/drive_c/windows/temp/zentorvik-*
    local out
    out=$(wine sc start "$SERVICE" 2>&1) || fail "sc start: $out"
    wait_until "$START_SECONDS" "service running" state_is RUNNING
    wait_until "$START_SECONDS" "hosted program started" hosted_started
    local line
    line=$(hosted_starts | tr -d '\r')
    [ "$line" = '"c:\windows\Zentorvik.exe" -s' ] || [ "$line" = 'c:\windows\Zentorvik.exe -s' ] ||
        fail "hosted program's command line: $line"
    pass "hosted program's command line: $line"
}

# A fresh 64-bit prefix in $WORK with its own server; sc, reg, cmd and msiexec run natively and
# only the 32-bit programs go through emulation. The server is ended on every way out.
new_prefix() {
    WORK=$(mktemp -d)
    export WINEPREFIX=$WORK/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
    trap '"$WINESERVER" -k 2>/dev/null; "$WINESERVER" -w 2>/dev/null; rm -rf "$WORK"' EXIT
    "$WINELOADER" wineboot -i >/dev/null 2>&1 || fail "wineboot"
    # A server that booted the prefix leaves a second services.exe behind: start afresh.
    "$WINESERVER" -k 2>/dev/null || true
    "$WINESERVER" -w
    "$WINESERVER" -p
}

wine() {
    "$WINELOADER" "$@"
}

# Stops the service and waits until it has stopped and its program is gone.
stop_and_check_hosted() {
    local out
    out=$(wine sc stop "$SERVICE" 2>&1) || fail "sc stop: $out (state $(service_state))"
    wait_until 30 "service stopped" state_is STOPPED
    wait_until 30 "hosted program terminated" hosted_gone
}
