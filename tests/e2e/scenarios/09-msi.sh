#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec: install registers the service and the service
# runs its program; removal stops it and leaves nothing; START=auto starts it with the system and
# is remembered through a repair, a same-version rebuild and an upgrade; START on the command line
# wins over the remembered value; the downgrade and a START other than demand or auto are refused;
# an upgrade over the running service is never reported as success without the new service.
# Where Wine's msiexec differs from Windows, the check says so. Its exit codes reach Linux cut to
# 8 bits: 67 is 1603 (failure), 69 is 1605 (unknown product).
set -euo pipefail
. "$(dirname "$0")/../deploy-lib.sh"

build_packages
new_prefix

msi=$(winpath "$MSI")
target_dir="$ZT_C/Program Files (x86)/Orvelden Zentorvik Tool"
target='"C:\Program Files (x86)\Orvelden Zentorvik Tool\OrveldenZentorvikTool.exe"'
# A 32-bit package writes to the 32-bit registry view.
remembered_key='HKLM\Software\Wow6432Node\Orvelden\Orvelden Zentorvik Tool'

product_code() {
    msi_product_code "$1"
}

# The START the package remembered, or nothing.
remembered_start() {
    wine reg query "$remembered_key" /v START 2>/dev/null | tr -d '\r' | sed -n 's/^ *START *REG_SZ *//p'
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
    cmp -s "$PACKAGE_DIR/OrveldenZentorvikTool.exe" "$target_dir/OrveldenZentorvikTool.exe" ||
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
        wine reg add "$SERVICE_KEY" /v ImagePath /t REG_EXPAND_SZ /d "$target" /f >/dev/null ||
            fail "rewriting the image path"
        ;;
    *) fail "image path: $value" ;;
    esac
    rm -f "$ZT_C/zentorvik-standin.log"
    if [ "$ZT_PLATFORM" = wine ]; then
        restart_server
    elif [ "$(service_value Start)" = "REG_DWORD 0x2" ]; then
        wine sc start "$SERVICE" >/dev/null || fail "sc start, as at a boot"
    fi
}

service_removed() {
    [ "$(zt_service_state)" = ABSENT ] && ! service_key_exists && hosted_gone
}

nothing_installed() {
    [ -z "$(installed_products)" ] || fail "still registered as a product: $(installed_products)"
    [ -z "$(remembered_start)" ] || fail "START is still remembered"
    ! wine reg query "$remembered_key" >/dev/null 2>&1 || fail "$remembered_key is still there"
}

# rebuild NAME VERSION: the package again, as a new build (new product code) of VERSION.
rebuild() {
    rebuild_msi "$2" "$WORK/$1" || fail "cpack of version $2"
    [ "$(product_code "$WORK/$1")" != "$(product_code "$MSI")" ] || fail "$1 has the same product code"
}

wine msiexec /i "$msi" /qn || fail "msiexec /i"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x3 demand
pass "msiexec /i installed the executable and registered the service on demand, START remembered"

quote_image_path_and_boot
[ "$(zt_service_state)" = STOPPED ] || fail "a service on demand started at boot: $(zt_service_state)"
start_and_check_hosted

# Wine's msiexec sends the stop and goes on at once: it deletes the service, which goes when it
# has stopped, and cannot remove the executable still in use, which it leaves behind (nor does it
# schedule it for removal at the next boot). Windows Installer waits for the stop (ServiceControl
# Wait) before it removes files, so nothing is left there.
wine msiexec /x "$msi" /qn || fail "msiexec /x"
if zt_on native "msiexec /x waits for the stop and removes the executable"; then
    service_removed || fail "msiexec /x returned before the service and its program were gone"
    pass "msiexec /x returned with the service and its program gone"
else
    wait_until 60 "msiexec /x stopped the service and removed it and its program" service_removed
fi
nothing_installed
if [ "$ZT_PLATFORM" = wine ] && [ -e "$target_dir/OrveldenZentorvikTool.exe" ]; then
    echo "  note Wine's msiexec left the executable, in use when it was removed"
    rm -r "$target_dir"
fi
[ ! -e "$target_dir" ] || fail "msiexec /x left $(ls "$target_dir")"

wine msiexec /i "$msi" /qn START=auto || fail "msiexec /i START=auto"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 auto
quote_image_path_and_boot
wait_until "$START_SECONDS" "START=auto: the service started with the system" state_is RUNNING
wait_until "$START_SECONDS" "and its program with it" hosted_started
stop_and_check_hosted

wine msiexec /i "$msi" /qn START=auto || fail "msiexec /i of the installed package"
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 auto
pass "installing the installed package again changes nothing"

# A repair of an installation made with START=auto, the executable missing. Wine's msiexec /f
# takes a package for a product code (1605) and has no repair by product code; the test then sets
# what /f stands for, REINSTALL=ALL and the REINSTALLMODE letters.
# Wine re-evaluates no component condition in a repair, so it keeps the start type even for a
# package that forgets START; what shows START here is the remembered value, rewritten by the repair
# from the START it worked out.
rm "$target_dir/OrveldenZentorvikTool.exe"
status=0
wine msiexec /fvomus "$msi" /qn || status=$?
if [ "$status" -ne 0 ]; then
    echo "  note Wine's msiexec /fvomus <package> failed (exit status $status): repair through REINSTALL"
    wine msiexec /i "$msi" /qn REINSTALL=ALL REINSTALLMODE=vomus || fail "msiexec /i REINSTALL=ALL"
fi
expect_installed "$VERSION" "$(product_code "$MSI")" 0x2 auto
pass "a repair put the executable back and kept START=auto"

rebuild same-version.msi "$VERSION"
wine msiexec /i "$(winpath "$WORK/same-version.msi")" /qn || fail "msiexec /i of a same-version rebuild"
expect_installed "$VERSION" "$(product_code "$WORK/same-version.msi")" 0x2 auto
pass "a rebuild of version $VERSION replaced the installed one and kept START=auto"

rebuild newer.msi 99.0.0
wine msiexec /i "$(winpath "$WORK/newer.msi")" /qn || fail "msiexec /i of version 99.0.0"
expect_installed 99.0.0 "$(product_code "$WORK/newer.msi")" 0x2 auto
pass "version 99.0.0 replaced the installed version and kept START=auto"
quote_image_path_and_boot
wait_until "$START_SECONDS" "the upgraded service started with the system" state_is RUNNING
wait_until "$START_SECONDS" "and its program with it" hosted_started
stop_and_check_hosted

rebuild newer-demand.msi 99.0.0
wine msiexec /i "$(winpath "$WORK/newer-demand.msi")" /qn START=demand || fail "msiexec /i START=demand"
expect_installed 99.0.0 "$(product_code "$WORK/newer-demand.msi")" 0x3 demand
pass "START=demand on the command line won over the remembered START=auto"

status=0
wine msiexec /i "$(winpath "$WORK/newer-demand.msi")" /qn START=sometimes || status=$?
[ "$status" -ne 0 ] || fail "START=sometimes was accepted"
pass "START other than demand or auto is refused (exit status $status)"

status=0
wine msiexec /i "$msi" /qn || status=$?
[ "$status" -ne 0 ] || fail "the older package installed over the newer one"
[ "$(installed_products)" = "99.0.0 $(product_code "$WORK/newer-demand.msi")" ] ||
    fail "product registrations after the downgrade: $(installed_products)"
pass "the older package refuses to replace the newer one (exit status $status)"

wine msiexec /x "$(winpath "$WORK/newer-demand.msi")" /qn || fail "msiexec /x of version 99.0.0"
service_removed || fail "msiexec /x of a stopped service left it registered"
[ ! -e "$target_dir" ] || fail "msiexec /x left $target_dir"
nothing_installed
pass "msiexec /x of the stopped service removed the registration, the files, START and the product"

# Last, since under Wine it leaves the prefix in no known state: an upgrade over the running
# service. Windows Installer stops the service and waits for it (ServiceControl Wait), deletes it
# and creates the new one. Wine's goes on while the service stops, so the old registration is still
# marked for deletion when the new one is created (1072); the service installation is vital, so
# the installation fails, and Wine's msiexec does not put the old version back as Windows' rollback
# would. Either way it must not report success without the new service.
wine msiexec /i "$(winpath "$WORK/newer.msi")" /qn START=auto || fail "msiexec /i START=auto"
quote_image_path_and_boot
wait_until "$START_SECONDS" "the service started with the system" state_is RUNNING
wait_until "$START_SECONDS" "and its program with it" hosted_started
status=0
wine msiexec /i "$(winpath "$WORK/newer-demand.msi")" /qn START=demand || status=$?
if [ "$status" -eq 0 ]; then
    wait_until 30 "the upgrade stopped the service and its program" hosted_gone
    expect_installed 99.0.0 "$(product_code "$WORK/newer-demand.msi")" 0x3 demand
    pass "the upgrade over the running service registered the new one"
else
    pass "the upgrade over the running service failed (exit status $status), not reported as success"
    echo "  note then: service $(zt_service_state), products: $(installed_products | xargs)"
fi
