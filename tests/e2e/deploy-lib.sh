# Sourced by the deployment scenarios (scenarios/08-zip.sh, 09-msi.sh): the packages
# under test, and the service's program where the harness (lib.sh) runs it, with no registration
# yet: in a Wine prefix, or natively on Windows.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

SERVICE=$ZT_SERVICE
# Windows' own programs, by their full path: natively a bare name runs whatever Git Bash finds
# first on its PATH.
SC='C:\windows\system32\sc.exe'
REG='C:\windows\system32\reg.exe'
MSIEXEC='C:\windows\system32\msiexec.exe'
SERVICE_KEY='HKLM\System\CurrentControlSet\Services\Orvelden Zentorvik Tool'
ROOT=$ZT_ROOT

fail() {
    echo "  FAIL $*" >&2
    if [ -n "${ZT_DIR:-}" ] && [ -d "$ZT_DIR" ]; then
        {
            echo "  service: $(zt_service_state); hosted program's processes: $(hosted_pids | xargs)"
            wine "$REG" query "$SERVICE_KEY" 2>&1 | sed 's/^/  /'
            [ "$ZT_PLATFORM" = native ] || find "$ZT_C" -ipath '*orvelden*' | sed 's/^/  /'
        } >&2
    fi
    exit 1
}

pass() {
    echo "  ok   $*"
}

# Builds the zip and the MSI; sets VERSION, ZIP and MSI. Windows has no wixl: natively they come
# built on Linux (tests/e2e/build-packages), from the folder $ZT_PACKAGES.
build_packages() {
    local dir=$ZT_BUILD
    if [ "$ZT_PLATFORM" = native ]; then
        dir=${ZT_PACKAGES:-}
        VERSION=$(ls "$dir" 2>/dev/null | sed -n 's/^OrveldenZentorvikTool-\(.*\)-win32\.zip$/\1/p')
    else
        "$ROOT/scripts/build-windows" --no-setup package >/dev/null || fail "package target"
        VERSION=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$ZT_BUILD/CPackConfig.cmake")
    fi
    ZIP=$dir/OrveldenZentorvikTool-$VERSION-win32.zip
    MSI=$dir/OrveldenZentorvikTool-$VERSION-x86.msi
    [ -f "$ZIP" ] && [ -f "$MSI" ] || fail "no $ZIP or $MSI"
}

# rebuild_msi VERSION FILE: the MSI built again as VERSION (the same upgrade code, a new product
# code) into FILE. Natively it comes built with the others, under FILE's name.
rebuild_msi() {
    if [ "$ZT_PLATFORM" = native ]; then
        cp "$ZT_PACKAGES/$(basename "$2")" "$2"
        return
    fi
    local staging status=0
    staging=$(mktemp -d "${TMPDIR:-/tmp}/zt-cpack.XXXXXX")
    cpack --config "$ZT_BUILD/CPackConfig.cmake" -D CPACK_PACKAGE_VERSION="$1" \
        -D CPACK_ZT_MSI="$2" -B "$staging" >/dev/null || status=$?
    rm -rf "$staging"
    return "$status"
}

# msi_product_code FILE, msi_package_code FILE: the MSI's product code, and its package code (the
# summary information's revision number). Windows has no msiinfo: natively they come from the
# list that build-packages wrote beside the packages, "<file> <product code> <package code>".
msi_product_code() {
    if [ "$ZT_PLATFORM" = native ]; then
        listed_code "$1" 2
    else
        msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'
    fi
}

msi_package_code() {
    if [ "$ZT_PLATFORM" = native ]; then
        listed_code "$1" 3
    else
        msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'
    fi
}

listed_code() {
    awk -v file="$(basename "$1")" -v column="$2" '$1 == file { print $column }' "$ZT_PACKAGES/codes"
}

# Windows path of a file under $WORK: through drive Z: under Wine.
winpath() {
    if [ "$ZT_PLATFORM" = native ]; then
        cygpath -w "$1"
    else
        printf 'Z:%s' "${1//\//\\}"
    fi
}

# Process ids of the running programs named Zentorvik.exe: natively Windows ones; under Wine
# (whose tasklist prints nothing) the Linux ones of this prefix.
hosted_pids() {
    local pid image
    if [ "$ZT_PLATFORM" = native ]; then
        zt_native_pids Zentorvik.exe
        return
    fi
    for pid in $(pgrep -f -i 'zentorvik\.exe' || true); do
        tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" || continue
        # argv: [qemu] [wine loader] <Windows image path> <arguments>
        image=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/cmdline" | grep -v -m1 '^/')
        image=${image##*\\}
        [ "${image,,}" = zentorvik.exe ] || continue
        echo "$pid"
    done
}

# hosted_starts [pid|image|command]: that field of each start the stand-in logged, one a line.
hosted_starts() {
    zt_records starts "$ZT_C/zentorvik-standin.log" "$@" 2>/dev/null || true
}

# One value of the service's registry key, as reg prints it (type and data), or nothing.
service_value() {
    wine "$REG" query "$SERVICE_KEY" /v "$1" 2>/dev/null | tr -d '\r' |
        sed -n "s/^ *$1 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p"
}

# The service's image path as registered, without its type (Windows' service controller writes
# REG_EXPAND_SZ, Wine's REG_SZ).
image_path() {
    service_value ImagePath | sed 's/^REG_[A-Z_]* //'
}

service_key_exists() {
    wine "$REG" query "$SERVICE_KEY" >/dev/null 2>&1
}

# Product registrations of the installer package, one "<version> <product code>" line each, in
# both registry views.
installed_products() {
    local view
    for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
        'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
        wine "$REG" query "$view" /s 2>/dev/null | tr -d '\r' | awk '
            /^HKEY/ { ours = 0; version = ""; n = split($0, path, "\\"); code = path[n] }
            /DisplayName +REG_SZ +Orvelden Zentorvik Tool$/ { ours = 1 }
            /DisplayVersion/ { version = $3 }
            /^$/ { if (ours) print version, code; ours = 0 }'
    done | sort -u
}

# wait_until SECONDS WHAT COMMAND...: waits for COMMAND to succeed, or fails the scenario.
wait_until() {
    local seconds=$1 what=$2 started=$SECONDS
    shift 2
    zt_wait_for "$seconds" "$@" || fail "$what: not within ${seconds}s"
    pass "$what ($((SECONDS - started))s)"
}

state_is() {
    [ "$(zt_service_state)" = "$1" ]
}

hosted_started() {
    [ -n "$(hosted_starts)" ] && [ -n "$(hosted_pids)" ]
}

hosted_gone() {
    [ -z "$(hosted_pids)" ]
}

# A 32-bit start goes through four emulated processes (service, cmd, start, the program).
START_SECONDS=60

# Starts the service and waits until it runs and its program is up with the argument -s.
start_and_check_hosted() {
    rm -f "$ZT_C/zentorvik-standin.log"
    wine "$SC" start "$SERVICE" >"$ZT_DIR/sc.out" 2>&1 || fail "sc start: $(cat "$ZT_DIR/sc.out")"
    wait_until "$START_SECONDS" "service running" state_is RUNNING
    wait_until "$START_SECONDS" "hosted program started" hosted_started
    local line
    line=$(hosted_starts command)
    [ "$line" = '"c:\windows\Zentorvik.exe" -s' ] || [ "$line" = 'c:\windows\Zentorvik.exe -s' ] ||
        fail "hosted program's command line: $line"
    pass "hosted program's command line: $line"
}

# After build_packages: a prefix of the harness (natively, the machine) without the service's
# registration, under Wine its server running, the stand-in in place, and the zip unpacked in
# $PACKAGE_DIR. Under Wine outside the suite runner (no $ZT_TEMPLATE) it makes a template first,
# about 2 minutes.
new_prefix() {
    local own_template=
    if [ "$ZT_PLATFORM" = wine ] && [ -z "${ZT_TEMPLATE:-}" ]; then
        own_template=$(mktemp -d "${TMPDIR:-/tmp}/zt-template.XXXXXX")
        zt_make_template "$own_template/prefix" || fail "the prefix template"
        ZT_TEMPLATE=$own_template/prefix
    fi
    zt_begin
    WORK=$ZT_DIR
    [ -z "$own_template" ] || trap 'zt_end; rm -rf "'"$own_template"'"' EXIT
    [ "$ZT_PLATFORM" = wine ] || trap 'remove_installed; zt_end' EXIT
    wine "$SC" delete "$SERVICE" >/dev/null 2>&1 || fail "removing the harness's registration"
    zt_install_standin
    unzip -q "$ZIP" -d "$WORK"
    PACKAGE_DIR=$WORK/OrveldenZentorvikTool-$VERSION-win32
}

# Ends the prefix's server and everything in it, and starts a new one, as a reboot would.
restart_server() {
    "$ZT_WINESERVER" -k 2>/dev/null || true
    "$ZT_WINESERVER" -w
    "$ZT_WINESERVER" -p
    # The first client of the service controller starts services.exe, which keeps that client's
    # output open: let it be /dev/null, not the pipe of a command substitution.
    "$ZT_WINE" sc query "$SERVICE" >/dev/null 2>&1 </dev/null || true
}

# wine PROGRAM ARGUMENT...: runs a Windows program: under Wine in the prefix, natively as it is
# (a Windows path made one that Git Bash runs).
wine() {
    if [ "$ZT_PLATFORM" = wine ]; then
        "$ZT_WINE" "$@" </dev/null
        return
    fi
    local program=$1
    [[ $program != [A-Za-z]:\\* ]] || program=$(cygpath -u "$program")
    "$program" "${@:2}" </dev/null
}

# Native: the products of the packages the scenario had, uninstalled, then a service registered by
# hand stopped and deleted, and the installed folder removed.
remove_installed() {
    local msi
    for msi in "${MSI:-}" "$WORK"/*.msi; do
        [ ! -f "$msi" ] || wine "$MSIEXEC" /x "$(winpath "$msi")" /qn >/dev/null 2>&1 || true
    done
    zt_native_clean
    rm -rf "$ZT_C/Program Files (x86)/Orvelden Zentorvik Tool" || true
}

# Stops the service and waits until it has stopped and its program is gone.
stop_and_check_hosted() {
    wine "$SC" stop "$SERVICE" >"$ZT_DIR/sc.out" 2>&1 || fail "sc stop: $(cat "$ZT_DIR/sc.out")"
    wait_until 30 "service stopped" state_is STOPPED
    wait_until 30 "hosted program terminated" hosted_gone
}
