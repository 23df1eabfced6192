#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec, and what each operation does with the service:
# an installation on demand registers it stopped, one with START=auto starts it; a repair never
# stops it (a running service keeps its process and its program) and starts a stopped START=auto
# one; an upgrade, or a rebuild of the same version, of a stopped START=auto installation starts
# the new service, and a START=demand one is left stopped; removal stops the service and leaves
# nothing. START, letter case aside, is remembered through a repair, a rebuild and an upgrade, and
# START on the command line wins over it; the downgrade and a new installation with a START other
# than demand or auto are refused, but a repair and the removal go through whatever START is
# remembered, and a repair without a remembered START keeps the start type; an upgrade and a repair
# over a service marked for deletion are refused, its removal goes through; an upgrade over the
# running service runs it again on Windows, and under Wine is never reported as success without
# the new service.
# Where Wine's msiexec differs from Windows, the check says so. Its exit codes reach Linux cut to
# 8 bits: 67 is 1603 (failure), 69 is 1605 (unknown product).
. "$(dirname "$0")/../deploy-lib.sh"

zt_deploy_packages
zt_deploy_begin

msi=$(zt_windows_path "$ZT_MSI")
target_dir=$(zt_install_dir)
installed_exe=$target_dir/OrveldenZentorvikTool.exe
target="\"$ZT_INSTALL_DIR_WIN\\OrveldenZentorvikTool.exe\""
# A 32-bit package writes to the 32-bit registry view.
remembered_key='HKLM\Software\Wow6432Node\Orvelden\Orvelden Zentorvik Tool'

# product_value CODE NAME: a value of the product's entry in Programs and Features, in either
# registry view.
product_value() {
    zt_uninstall_entries "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# The START the package remembered, or nothing.
remembered_start() {
    zt_text zt_windows_tool reg query "$remembered_key" /v START 2>/dev/null |
        sed -n 's/^ *START *REG_SZ *//p'
}

# installed_as VERSION PRODUCT_CODE START_TYPE START: one registration, the service with that start
# type (REG_DWORD), START remembered, and the installed executable the one of the zip. Otherwise
# it says what differs.
installed_as() {
    local found
    found="products: $(zt_installed_products | xargs); start type: $(zt_deploy_service_value Start)"
    found+="; type: $(zt_deploy_service_value Type); START: $(remembered_start)"
    zt_same "products: $1 $2; start type: REG_DWORD $3; type: REG_DWORD 0x10; START: $4" "$found" &&
        cmp "$ZT_PACKAGE_DIR/OrveldenZentorvikTool.exe" "$installed_exe"
}

# expect_installed WHAT VERSION PRODUCT_CODE START_TYPE START: installed_as, with a few seconds'
# grace: on a loaded machine one registry read in about ten runs has come back wrong under Wine,
# and the next one right.
expect_installed() {
    zt_require_within "$1" 5 installed_as "${@:2}"
}

# Wine's msiexec registers the image path unquoted, spaces and all; as a step of the test
# environment (not of the package), it is written quoted, as Windows Installer writes it.
quote_image_path() {
    local path
    path=$(zt_deploy_image_path)
    [ "$path" = "$target" ] || { zt_same "${target//\"/}" "$path" &&
        zt_windows_tool reg add "$ZT_SERVICE_KEY" /v ImagePath /t REG_EXPAND_SZ /d "$target" /f; }
}

# As a boot would: the service as Windows registers it, and started if it is registered to start
# automatically (zt_boot).
boot() {
    if zt_on native "the image path as Windows Installer writes it, quoted"; then
        zt_require "the image path quoted" zt_same "$target" "$(zt_deploy_image_path)"
    else
        zt_require "Wine's unquoted image path written quoted" quote_image_path
    fi
    rm -f "$ZT_C/zentorvik-standin.log"
    zt_require "a boot" zt_boot
}

service_removed() {
    zt_service_in ABSENT && ! zt_deploy_service_key_exists && zt_deploy_hosted_gone
}

nothing_installed() {
    zt_same "products: ; START: ; key: absent" "products: $(zt_installed_products | xargs); START: $(
        remembered_start); key: $(zt_windows_tool reg query "$remembered_key" >/dev/null 2>&1 &&
        echo present || echo absent)"
}

# The product and package codes of the packages so far, one a line.
codes_seen=$(zt_deploy_product_code "$ZT_MSI" && zt_deploy_package_code "$ZT_MSI")
zt_require "a product and a package code in $ZT_MSI" test "$(grep -c . <<<"$codes_seen")" -eq 2

# rebuild NAME VERSION: the package again, as a new build of VERSION, which must have a product
# code and a package code of its own.
rebuild() {
    zt_require "cpack of $1, version $2" zt_deploy_rebuild_msi "$2" "$ZT_DIR/$1"
    zt_require "$1 has a product code of its own" new_code "$(zt_deploy_product_code "$ZT_DIR/$1")"
    zt_require "and a package code of its own" new_code "$(zt_deploy_package_code "$ZT_DIR/$1")"
}

# new_code CODE: CODE is one, and none of the packages' so far, to which it is added.
new_code() {
    echo "code '$1'; the earlier ones: $(xargs <<<"$codes_seen")"
    [ -n "$1" ] && ! grep -qixF "$1" <<<"$codes_seen" || return 1
    codes_seen+=$'\n'$1
}

# The running service's process id, as the status driver reads it; nothing when it is not running.
service_pid() {
    zt_driver service-pid wait RUNNING 5000 || return 0
    zt_records field "$ZT_DIR/service-pid.log" pid event=status | tail -n 1
}

# The running service: its process, its program's processes and the program's starts.
running_service() {
    echo "service $(service_pid); program $(zt_hosted_pids | xargs); starts $(
        zt_records starts "$ZT_C/zentorvik-standin.log" 2>/dev/null | xargs)"
}

# repair PACKAGE [PROPERTY=VALUE...]: a repair, as msiexec /f does it. Wine's msiexec /f takes a
# package for a product code (1605) and has no repair by product code, so under Wine the test sets
# what /f stands for, REINSTALL=ALL and the REINSTALLMODE letters; on Windows a failed /f fails the
# scenario.
if zt_on native "repairs with msiexec /f, which Wine's takes for a product code"; then
    repair_how="msiexec /fvomus"
    repair_command() {
        zt_windows_tool msiexec /fvomus "$1" /qn "${@:2}"
    }
else
    repair_how="msiexec /i REINSTALL=ALL"
    repair_command() {
        zt_windows_tool msiexec /i "$1" /qn REINSTALL=ALL REINSTALLMODE=vomus "${@:2}"
    }
fi

repair() {
    zt_require "$repair_how" repair_command "$@"
}

# mark_for_deletion: the service's key with DeleteFlag = 1, as Windows leaves a service deleted
# while a program holds it open. Only the package's search of the key sees it: the service
# controller keeps the service as it was.
mark_for_deletion() {
    zt_require "DeleteFlag=1 written" \
        zt_windows_tool reg add "$ZT_SERVICE_KEY" /v DeleteFlag /t REG_DWORD /d 1 /f
}

# expect_unchanged WHAT BEFORE: the running service is still BEFORE (running_service).
expect_unchanged() {
    zt_compare "$1" "$2" "$(running_service)"
}

zt_must_fail "an installation with a START other than demand or auto is refused" \
    zt_windows_tool msiexec /i "$msi" /qn START=sometimes
zt_require "and installs nothing" zt_same "ABSENT; products: " \
    "$(zt_service_state); products: $(zt_installed_products | xargs)"

zt_require "msiexec /i" zt_windows_tool msiexec /i "$msi" /qn
expect_installed "it installed the executable and registered the service on demand, START remembered" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x3 demand
zt_compare "the service on demand is stopped after msiexec /i" STOPPED "$(zt_service_state)"
zt_compare "Programs and Features offers no Change" \
    0x1 "$(product_value "$(zt_deploy_product_code "$ZT_MSI")" NoModify)"

boot
zt_compare "a service on demand did not start at boot" STOPPED "$(zt_service_state)"
zt_deploy_start

# The service on demand as the administrator had it: running, and a repair leaves it running.
before=$(running_service)
zt_require "the service and its program run" grep -qE '^service [0-9]+; program [0-9]' <<<"$before"
repair "$msi"
expect_installed "a repair kept the installation" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x3 demand
expect_unchanged "a repair left the running service on demand running: the same process and program" \
    "$before"

# Wine's msiexec sends the stop and goes on at once: it deletes the service, which goes when it
# has stopped, and cannot remove the executable still in use, which it leaves behind (nor does it
# schedule it for removal at the next boot). Windows Installer waits for the stop (ServiceControl
# Wait) before it removes files, so nothing is left there.
zt_require "msiexec /x" zt_windows_tool msiexec /x "$msi" /qn
if zt_on native "msiexec /x waits for the stop and removes the executable"; then
    zt_require "msiexec /x returned with the service and its program gone" service_removed
else
    zt_require_within "msiexec /x stopped the service and removed it and its program" 60 service_removed
    if [ -e "$installed_exe" ]; then
        echo "  note Wine's msiexec left the executable, in use when it was removed"
        rm -r "$target_dir"
    fi
fi
zt_require "nothing of the installation left" nothing_installed
zt_require "msiexec /x removed the installed folder" test ! -e "$target_dir"

# Letter case aside: the value is remembered as given.
rm -f "$ZT_C/zentorvik-standin.log"
zt_require "msiexec /i START=Auto" zt_windows_tool msiexec /i "$msi" /qn START=Auto
expect_installed "START=Auto remembered as given, the service to start automatically" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 Auto
zt_deploy_running "msiexec /i START=Auto started the service"
boot
zt_deploy_running "START=auto: the service started with the system"

before=$(running_service)
repair "$msi"
expect_installed "a repair kept START=Auto" "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 Auto
expect_unchanged "a repair left the running START=auto service running: the same process and program" \
    "$before"

# Another START would swap the components that share the executable: a repair keeps its own.
repair "$msi" START=demand
expect_installed "a repair given START=demand kept START=Auto" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 Auto
expect_unchanged "and the running service" "$before"

zt_require "msiexec /i of the installed package" zt_windows_tool msiexec /i "$msi" /qn START=Auto
expect_installed "installing the installed package again kept the installation" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 Auto
expect_unchanged "and the running service" "$before"

# Without a remembered START the repair works out demand, and writes it back; the installed
# component stays, and so does the running service. On Windows this fails should the components
# be transitive: the repair would swap them, deleting the service (Wine never re-evaluates them).
zt_require "the remembered START deleted" \
    zt_windows_tool reg delete "$remembered_key" /v START /f
repair "$msi"
expect_installed "a repair without a remembered START kept the automatic start" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 demand
expect_unchanged "and the running service" "$before"
zt_require "START=Auto remembered again" \
    zt_windows_tool reg add "$remembered_key" /v START /t REG_SZ /d Auto /f

# Wine re-evaluates no component condition in a repair, so it keeps the start type even for a
# package that forgets START; what shows START here is the remembered value, rewritten by the repair
# from the START it worked out.
zt_deploy_stop
# The service's process holds its executable until it ends, just after it reports STOPPED.
zt_require_within "the installed executable deleted" 10 rm -f "$installed_exe"
rm "$ZT_C/zentorvik-standin.log"
repair "$msi"
expect_installed "a repair put the missing executable back and kept START=Auto" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 Auto
zt_deploy_running "and started the stopped START=auto service"

# A changed executable of the same size, its modified date older than its created date, so that
# Windows Installer does not take it for one the administrator changed: the repair replaces it
# for its hash, which the package carries (Wine overwrites a file of another size, or of the same
# size and another hash, whatever its dates).
zt_deploy_stop
cp "$installed_exe" "$ZT_DIR/changed.exe"
printf 'X' | dd of="$ZT_DIR/changed.exe" bs=1 seek=80 conv=notrunc 2>/dev/null
zt_must_fail "the changed executable differs from the installed one" \
    cmp -s "$ZT_DIR/changed.exe" "$installed_exe"
zt_require_within "the installed executable changed" 10 cp "$ZT_DIR/changed.exe" "$installed_exe"
touch -d 2001-01-01 "$installed_exe"
rm "$ZT_C/zentorvik-standin.log"
repair "$msi"
expect_installed "a repair replaced a changed executable of the same size" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 Auto
zt_deploy_running "and started the stopped START=auto service"

zt_deploy_stop
rm "$ZT_C/zentorvik-standin.log"
rebuild same-version.msi "$ZT_VERSION"
zt_require "msiexec /i of a same-version rebuild" \
    zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_DIR/same-version.msi")" /qn
expect_installed "a rebuild of version $ZT_VERSION replaced the installed one and kept START=Auto" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_DIR/same-version.msi")" 0x2 Auto
zt_deploy_running "and started the new service"

zt_deploy_stop
rm "$ZT_C/zentorvik-standin.log"
rebuild newer.msi 99.0.0
zt_require "msiexec /i of version 99.0.0" zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_DIR/newer.msi")" /qn
expect_installed "version 99.0.0 replaced the installed version and kept START=Auto" \
    99.0.0 "$(zt_deploy_product_code "$ZT_DIR/newer.msi")" 0x2 Auto
zt_deploy_running "and started the new service"
boot
zt_deploy_running "the upgraded service started with the system"

zt_deploy_stop
rebuild newer-again.msi 99.0.0
zt_require "msiexec /i START=DEMAND" \
    zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_DIR/newer-again.msi")" /qn START=DEMAND
expect_installed "START=DEMAND on the command line won over the remembered START=Auto" \
    99.0.0 "$(zt_deploy_product_code "$ZT_DIR/newer-again.msi")" 0x3 DEMAND
zt_compare "the service on demand is left stopped after the upgrade" STOPPED "$(zt_service_state)"

zt_must_fail "the older package refuses to replace the newer one" zt_windows_tool msiexec /i "$msi" /qn
zt_require "and leaves the newer one" zt_same "99.0.0 $(zt_deploy_product_code "$ZT_DIR/newer-again.msi")" \
    "$(zt_installed_products)"

# A service marked for deletion cannot be registered again (1072): an upgrade would fail part way,
# its rollback unable to register the old service again, and a repair would fail. Both are
# refused before they change anything (the refusal of a service it did not install does not
# apply to an upgrade, so only the mark refuses it here).
mark_for_deletion
zt_must_fail "an upgrade over a service marked for deletion is refused" \
    zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_DIR/newer.msi")" /qn
expect_installed "and changes nothing" \
    99.0.0 "$(zt_deploy_product_code "$ZT_DIR/newer-again.msi")" 0x3 DEMAND
zt_must_fail "so is a repair" repair_command "$(zt_windows_path "$ZT_DIR/newer-again.msi")"
expect_installed "which changes nothing either" \
    99.0.0 "$(zt_deploy_product_code "$ZT_DIR/newer-again.msi")" 0x3 DEMAND
zt_require "DeleteFlag removed" zt_windows_tool reg delete "$ZT_SERVICE_KEY" /v DeleteFlag /f

# A START that no installation would take, remembered: a repair and the removal still go through,
# the removal of a service marked for deletion too.
zt_require "START=sometimes written" \
    zt_windows_tool reg add "$remembered_key" /v START /t REG_SZ /d sometimes /f
repair "$(zt_windows_path "$ZT_DIR/newer-again.msi")"
expect_installed "a repair with START=sometimes remembered went through, on demand" \
    99.0.0 "$(zt_deploy_product_code "$ZT_DIR/newer-again.msi")" 0x3 sometimes
mark_for_deletion
zt_require "so did msiexec /x" zt_windows_tool msiexec /x "$(zt_windows_path "$ZT_DIR/newer-again.msi")" /qn
zt_require "it removed the stopped service" service_removed
zt_require "and the installed folder" test ! -e "$target_dir"
zt_require "and START and the product" nothing_installed

# Last, since under Wine it may leave the prefix in no known state: an upgrade over the running
# START=auto service. The old version's removal stops the service, waiting for it (ServiceControl
# Wait), and deletes it; the new version creates it and starts it. Wine's msiexec goes on while
# the service stops, so the old registration may still be marked for deletion when the new one is
# created (1072); the service installation is vital, so the installation then fails, and Wine's
# msiexec does not put the old version back as Windows' rollback would. Under Wine either outcome
# is accepted, but never success without the new service.
zt_require "msiexec /i START=auto" zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_DIR/newer.msi")" /qn START=auto
boot
zt_deploy_running "the service started with the system"
rm "$ZT_C/zentorvik-standin.log"
status=0
zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_DIR/newer-again.msi")" /qn || status=$?
if zt_on native "the upgrade over the running service succeeds (Wine's may fail)"; then
    zt_compare "the upgrade over the running service succeeded" 0 "$status"
fi
if [ "$status" -eq 0 ]; then
    expect_installed "the upgrade over the running service registered the new one" \
        99.0.0 "$(zt_deploy_product_code "$ZT_DIR/newer-again.msi")" 0x2 auto
    zt_deploy_running "and started it"
else
    echo "  note the upgrade over the running service failed (exit status $status), not reported" \
        "as success; then: service $(zt_service_state), products: $(zt_installed_products | xargs)"
fi
zt_finish
