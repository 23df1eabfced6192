#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, and what each operation does with the service:
# an installation on demand registers it stopped, one with START=auto starts it; a repair never
# stops it (a running service keeps its process and its program) and starts a stopped START=auto
# one; an upgrade, or a rebuild of the same version, of a stopped START=auto installation starts
# the new service, and a START=demand one is left stopped; removal stops the service and leaves
# nothing. START, letter case aside, is remembered through a repair, a rebuild and an upgrade, and
# START on the command line wins over it; the downgrade and a new installation with a START other
# than demand or auto are refused, but a repair and the removal go through whatever START is
# remembered; an upgrade over the running service runs it again on Windows, and under Wine is
# never reported as success without the new service.
# Where Wine's msiexec differs from Windows, the check says so. Its exit codes reach Linux cut to
# 8 bits: 67 is 1603 (failure), 69 is 1605 (unknown product).
set -euo pipefail
. "$(dirname "$0")/../deploy-lib.sh"

build_packages
new_prefix

msi=$(winpath "$MSI")
target_dir="$ZT_C/Program Files (x86)/Orvelden Zentorvik Tool"
installed_exe=$target_dir/OrveldenZentorvikTool.exe
target='"C:\Program Files (x86)\Orvelden Zentorvik Tool\OrveldenZentorvikTool.exe"'
# A 32-bit package writes to the 32-bit registry view.
remembered_key='HKLM\Software\Wow6432Node\Orvelden\Orvelden Zentorvik Tool'

product_code() {
    msi_product_code "$1"
}

# product_value CODE NAME: a value of the product's entry in Programs and Features, in either
# registry view.
product_value() {
    local view
    for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
        'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
        wine "$REG" query "$view\\$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
    done
}

# The START the package remembered, or nothing.
remembered_start() {
    wine "$REG" query "$remembered_key" /v START 2>/dev/null | tr -d '\r' | sed -n 's/^ *START *REG_SZ *//p'
}

# installed_as VERSION PRODUCT_CODE START_TYPE START: one registration, the service with that start
# type (REG_DWORD), START remembered, and the installed executable the one of the zip. Otherwise
# it says in $mismatch what differs.
installed_as() {
    local value
    value=$(installed_products)
    [ "$value" = "$1 $2" ] || { mismatch="product registrations: '$value'"; return 1; }
    value=$(service_value Start)
    [ "$value" = "REG_DWORD $3" ] || { mismatch="start type: '$value'"; return 1; }
    value=$(service_value Type)
    [ "$value" = "REG_DWORD 0x10" ] || { mismatch="service type: '$value'"; return 1; }
    value=$(remembered_start)
    [ "$value" = "$4" ] || { mismatch="remembered START: '$value'"; return 1; }
    cmp -s "$PACKAGE_DIR/OrveldenZentorvikTool.exe" "$installed_exe" ||
        { mismatch="the installed executable differs from the one in the zip"; return 1; }
}

# A few seconds' grace: on a loaded machine one registry read in about ten runs has come back
# wrong under Wine, and the next one right.
expect_installed() {
    zt_wait_for 5 installed_as "$@" || fail "$mismatch"
}

# Windows Installer registers the image path quoted. Wine's registers it unquoted, spaces and all;
# as a step of the test environment (not of the package), the test writes it as Windows would and
# restarts the prefix's server, whose service controller reads it only at its start, as at a boot.
# A service registered to start automatically starts then. Windows itself is not restarted: there
# the test starts such a service, as a boot would.
quote_image_path_and_boot() {
    local value
    value=$(service_value ImagePath)
    case $value in
    "REG_EXPAND_SZ $target" | "REG_SZ $target") ;;
    "REG_SZ ${target//\"/}")
        [ "$ZT_PLATFORM" = wine ] || fail "image path unquoted: $value"
        wine "$REG" add "$SERVICE_KEY" /v ImagePath /t REG_EXPAND_SZ /d "$target" /f >/dev/null ||
            fail "rewriting the image path"
        ;;
    *) fail "image path: $value" ;;
    esac
    if [ "$ZT_PLATFORM" = wine ]; then
        rm -f "$ZT_C/zentorvik-standin.log"
        restart_server
    elif [ "$(service_value Start)" = "REG_DWORD 0x2" ] && ! state_is RUNNING; then
        rm -f "$ZT_C/zentorvik-standin.log"
        wine "$SC" start "$SERVICE" >/dev/null || fail "sc start, as at a boot"
    fi
}

service_removed() {
    [ "$(zt_service_state)" = ABSENT ] && ! service_key_exists && hosted_gone
}

nothing_installed() {
    [ -z "$(installed_products)" ] || fail "still registered as a product: $(installed_products)"
    [ -z "$(remembered_start)" ] || fail "START is still remembered"
    ! wine "$REG" query "$remembered_key" >/dev/null 2>&1 || fail "$remembered_key is still there"
}

# The product and package codes of the packages so far, one a line.
codes_seen=$(msi_product_code "$MSI" && msi_package_code "$MSI")
[ "$(grep -c . <<<"$codes_seen")" -eq 2 ] || fail "no product or package code in $MSI: $codes_seen"

# rebuild NAME VERSION: the package again, as a new build of VERSION, which must have a product
# code and a package code of its own.
rebuild() {
    local code
    rebuild_msi "$2" "$WORK/$1" || fail "cpack of version $2"
    for code in "$(msi_product_code "$WORK/$1")" "$(msi_package_code "$WORK/$1")"; do
        [ -n "$code" ] && ! grep -qixF "$code" <<<"$codes_seen" || fail "$1 has no code of its own: '$code'"
        codes_seen+=$'\n'$code
    done
}

# The running service's process id, as the status driver reads it; nothing when it is not running.
service_pid() {
    zt_driver service-pid wait RUNNING 5000 || return 0
    zt_records field "$ZT_DIR/service-pid.log" pid event=status | tail -n 1
}

# The running service: its process, its program's processes and the program's starts.
running_service() {
    echo "service $(service_pid); program $(hosted_pids | paste -sd' '); starts $(hosted_starts | paste -sd'|')"
}

# The same, for a service that must be running with its program.
running_now() {
    local now
    now=$(running_service)
    [[ $now == "service "[0-9]*"; program "[0-9]* ]] || fail "the service and its program are not running: $now"
    echo "$now"
}

# repair PACKAGE: a repair, as msiexec /f does it. Wine's msiexec /f takes a package for a product
# code (1605) and has no repair by product code; the test then sets what /f stands for,
# REINSTALL=ALL and the REINSTALLMODE letters.
repair() {
    local status=0
    wine "$MSIEXEC" /fvomus "$1" /qn || status=$?
    [ "$status" -ne 0 ] || return 0
    [ -n "${repair_noted:-}" ] ||
        echo "  note Wine's msiexec /fvomus <package> failed (exit status $status): repairs through REINSTALL"
    repair_noted=1
    wine "$MSIEXEC" /i "$1" /qn REINSTALL=ALL REINSTALLMODE=vomus || fail "msiexec /i REINSTALL=ALL"
}

# Waits until the service runs with its program, started since the stand-in's log was emptied.
service_and_program_running() {
    wait_until "$START_SECONDS" "$1" state_is RUNNING
    wait_until "$START_SECONDS" "and its program with it" hosted_started
}

status=0
wine "$MSIEXEC" /i "$msi" /qn START=sometimes || status=$?
[ "$status" -ne 0 ] || fail "START=sometimes was accepted"
[ -z "$(installed_products)" ] && [ "$(zt_service_state)" = ABSENT ] || fail "START=sometimes installed something"
pass "an installation with a START other than demand or auto is refused (exit status $status)"

wine "$MSIEXEC" /i "$msi" /qn || fail "msiexec /i"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x3 demand
[ "$(zt_service_state)" = STOPPED ] || fail "the service on demand is $(zt_service_state) after msiexec /i"
pass "msiexec /i installed the executable and registered the service on demand, stopped, START remembered"
[ "$(product_value "$(product_code "$MSI")" NoModify)" = 0x1 ] ||
    fail "Programs and Features offers Change: NoModify is '$(product_value "$(product_code "$MSI")" NoModify)'"
pass "Programs and Features offers no Change"

quote_image_path_and_boot
[ "$(zt_service_state)" = STOPPED ] || fail "a service on demand started at boot: $(zt_service_state)"
start_and_check_hosted

# The service on demand as the administrator had it: running, and a repair leaves it running.
before=$(running_now)
repair "$msi"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x3 demand
[ "$(running_service)" = "$before" ] || fail "a repair changed the running service: $before, then $(running_service)"
pass "a repair left the running service on demand running: the same process and program"

# Wine's msiexec sends the stop and goes on at once: it deletes the service, which goes when it
# has stopped, and cannot remove the executable still in use, which it leaves behind (nor does it
# schedule it for removal at the next boot). Windows Installer waits for the stop (ServiceControl
# Wait) before it removes files, so nothing is left there.
wine "$MSIEXEC" /x "$msi" /qn || fail "msiexec /x"
if zt_on native "msiexec /x waits for the stop and removes the executable"; then
    service_removed || fail "msiexec /x returned before the service and its program were gone"
    pass "msiexec /x returned with the service and its program gone"
else
    wait_until 60 "msiexec /x stopped the service and removed it and its program" service_removed
fi
nothing_installed
if [ "$ZT_PLATFORM" = wine ] && [ -e "$installed_exe" ]; then
    echo "  note Wine's msiexec left the executable, in use when it was removed"
    rm -r "$target_dir"
fi
[ ! -e "$target_dir" ] || fail "msiexec /x left $(ls "$target_dir")"

# Letter case aside: the value is remembered as given.
rm -f "$ZT_C/zentorvik-standin.log"
wine "$MSIEXEC" /i "$msi" /qn START=Auto || fail "msiexec /i START=Auto"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 Auto
service_and_program_running "msiexec /i START=Auto started the service"
quote_image_path_and_boot
service_and_program_running "START=auto: the service started with the system"

before=$(running_now)
repair "$msi"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 Auto
[ "$(running_service)" = "$before" ] || fail "a repair changed the running service: $before, then $(running_service)"
pass "a repair left the running START=auto service running: the same process and program"

wine "$MSIEXEC" /i "$msi" /qn START=Auto || fail "msiexec /i of the installed package"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 Auto
[ "$(running_service)" = "$before" ] || fail "msiexec /i changed the running service"
pass "installing the installed package again changes nothing"

# Wine re-evaluates no component condition in a repair, so it keeps the start type even for a
# package that forgets START; what shows START here is the remembered value, rewritten by the repair
# from the START it worked out.
stop_and_check_hosted
# The service's process holds its executable until it ends, just after it reports STOPPED.
zt_wait_for 10 rm -f "$installed_exe" 2>/dev/null || fail "deleting the installed executable"
rm "$ZT_C/zentorvik-standin.log"
repair "$msi"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 Auto
pass "a repair put the missing executable back and kept START=Auto"
service_and_program_running "and started the stopped START=auto service"

# A changed executable of the same size, its modified date older than its created date, so that
# Windows Installer does not take it for one the administrator changed: the repair replaces it
# for its hash, which the package carries (Wine overwrites a file of another size, or of the same
# size and another hash, whatever its dates).
stop_and_check_hosted
cp "$installed_exe" "$WORK/changed.exe"
printf 'X' | dd of="$WORK/changed.exe" bs=1 seek=80 conv=notrunc 2>/dev/null
cmp -s "$WORK/changed.exe" "$installed_exe" && fail "the changed executable is the same"
zt_wait_for 10 cp "$WORK/changed.exe" "$installed_exe" 2>/dev/null || fail "changing the installed executable"
touch -d 2001-01-01 "$installed_exe"
rm "$ZT_C/zentorvik-standin.log"
repair "$msi"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 Auto
pass "a repair replaced a changed executable of the same size"
service_and_program_running "and started the stopped START=auto service"

stop_and_check_hosted
rm "$ZT_C/zentorvik-standin.log"
rebuild same-version.msi "$VERSION"
wine "$MSIEXEC" /i "$(winpath "$WORK/same-version.msi")" /qn || fail "msiexec /i of a same-version rebuild"
expect_installed "$VERSION" "$(product_code "$WORK/same-version.msi")" 0x2 Auto
pass "a rebuild of version $VERSION replaced the installed one and kept START=Auto"
service_and_program_running "and started the new service"

stop_and_check_hosted
rm "$ZT_C/zentorvik-standin.log"
rebuild newer.msi 99.0.0
wine "$MSIEXEC" /i "$(winpath "$WORK/newer.msi")" /qn || fail "msiexec /i of version 99.0.0"
expect_installed 99.0.0 "$(product_code "$WORK/newer.msi")" 0x2 Auto
pass "version 99.0.0 replaced the installed version and kept START=Auto"
service_and_program_running "and started the new service"
quote_image_path_and_boot
service_and_program_running "the upgraded service started with the system"

stop_and_check_hosted
rebuild newer-again.msi 99.0.0
wine "$MSIEXEC" /i "$(winpath "$WORK/newer-again.msi")" /qn START=DEMAND || fail "msiexec /i START=DEMAND"
expect_installed 99.0.0 "$(product_code "$WORK/newer-again.msi")" 0x3 DEMAND
[ "$(zt_service_state)" = STOPPED ] || fail "the service on demand is $(zt_service_state) after the upgrade"
pass "START=DEMAND on the command line won over the remembered START=Auto; the service is left stopped"

status=0
wine "$MSIEXEC" /i "$msi" /qn || status=$?
[ "$status" -ne 0 ] || fail "the older package installed over the newer one"
[ "$(installed_products)" = "99.0.0 $(product_code "$WORK/newer-again.msi")" ] ||
    fail "product registrations after the downgrade: $(installed_products)"
pass "the older package refuses to replace the newer one (exit status $status)"

# A START that no installation would take, remembered: a repair and the removal still go through.
wine "$REG" add "$remembered_key" /v START /t REG_SZ /d sometimes /f >/dev/null || fail "writing START"
repair "$(winpath "$WORK/newer-again.msi")"
expect_installed 99.0.0 "$(product_code "$WORK/newer-again.msi")" 0x3 sometimes
pass "a repair with START=sometimes remembered went through, on demand"
wine "$MSIEXEC" /x "$(winpath "$WORK/newer-again.msi")" /qn || fail "msiexec /x of version 99.0.0"
service_removed || fail "msiexec /x of a stopped service left it registered"
[ ! -e "$target_dir" ] || fail "msiexec /x left $target_dir"
nothing_installed
pass "so did the removal: it took the registration, the files, START and the product"

# Last, since under Wine it may leave the prefix in no known state: an upgrade over the running
# START=auto service. The old version's removal stops the service, waiting for it (ServiceControl
# Wait), and deletes it; the new version creates it and starts it. Wine's msiexec goes on while
# the service stops, so the old registration may still be marked for deletion when the new one is
# created (1072); the service installation is vital, so the installation then fails, and Wine's
# msiexec does not put the old version back as Windows' rollback would. Under Wine either outcome
# is accepted, but never success without the new service.
wine "$MSIEXEC" /i "$(winpath "$WORK/newer.msi")" /qn START=auto || fail "msiexec /i START=auto"
quote_image_path_and_boot
service_and_program_running "the service started with the system"
rm "$ZT_C/zentorvik-standin.log"
status=0
wine "$MSIEXEC" /i "$(winpath "$WORK/newer-again.msi")" /qn || status=$?
if [ "$status" -eq 0 ]; then
    expect_installed 99.0.0 "$(product_code "$WORK/newer-again.msi")" 0x2 auto
    service_and_program_running "the upgrade over the running service registered the new one and started it"
elif [ "$ZT_PLATFORM" = wine ]; then
    pass "the upgrade over the running service failed (exit status $status), not reported as success"
    echo "  note then: service $(zt_service_state), products: $(installed_products | xargs)"
else
    fail "the upgrade over the running service failed (exit status $status)"
fi
