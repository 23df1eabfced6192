#!/usr/bin/env bash
# needs: packages
# cost: 110
# A service marked for deletion (DeleteFlag other than zero; it cannot be registered again until
# gone, 1072): an installation, an upgrade and a repair are refused by the mark's own action before
# anything changes; a removal goes through; DeleteFlag zero marks nothing. Wine never writes
# DeleteFlag, so the scenario does; on Windows a program holds the service while sc.exe marks it.
. "$(dirname "$0")/../msi-lib.sh"

marked_message="is marked for deletion.*(the Services console), run taskkill.exe /f /im"
marked_message+=" $ZT_SERVICE_EXE_NAME, or restart Windows"
message_logged=no
if zt_on native "the refusal's message in the installation's log (Wine logs none)"; then
    message_logged=yes
fi

# mark_for_deletion VALUE: DeleteFlag = VALUE, as Windows leaves (1) a service deleted while held.
mark_for_deletion() {
    zt_require "DeleteFlag=$1 written" \
        zt_windows_tool reg add "$ZT_SERVICE_KEY" /v DeleteFlag /t REG_DWORD /d "$1" /f
}

# refused WHAT LOG COMMAND...: COMMAND (logging to $ZT_DIR/LOG) refused by the mark's action, after
# InstallValidate settles REMOVE, before InstallInitialize; on Windows the log has its message.
refused() {
    local log=$ZT_DIR/$2
    zt_must_fail "$1" "${@:3}" /l*v "$(zt_windows_path "$log")"
    zt_compare "refused for the mark after InstallValidate, before the installation began" \
        "InstallValidate RefuseMarkedForDeletion" "$(started_from_validation "$log")"
    [ "$message_logged" = no ] || zt_expect "its log says the service is marked and what to close" \
        grep -q "$marked_message" <(tr -d '\0\r' <"$log")
}

# marked_and_stopped: DeleteFlag = 1 and the service stopped: STOPPED, or MARKED where Windows'
# OpenService refuses a service marked for deletion (1072).
marked_and_stopped() {
    local found
    found="$(zt_deploy_service_value DeleteFlag); $(zt_service_state)"
    echo "$found"
    [ "$found" = "REG_DWORD 0x1; STOPPED" ] || [ "$found" = "REG_DWORD 0x1; MARKED" ]
}

# started_from_validation LOG: the actions the verbose log (UTF-16, CRLF) started from InstallValidate.
started_from_validation() {
    tr -d '\0\r' <"$1" | sed -n 's/^Action start [0-9:]*: \(.*\)\.$/\1/p' |
        sed -n '/^InstallValidate$/,$p' | xargs
}

# A fresh installation over a service registered by hand and marked: the mark's message, not the
# one for a service the package did not install, whose advice (sc.exe delete) would fail.
zt_require "sc create, as README-admin shows" \
    zt_windows_tool sc create "$ZT_SERVICE" binPath= "$target" type= own start= demand
mark_for_deletion 2
refused "an installation over a service marked with DeleteFlag=2 is refused" fresh.txt \
    zt_windows_tool msiexec /i "$msi" /qn
zt_expect "its search found the mark" \
    grep -q 'MARKEDFORDELETION = #2' <(tr -d '\0\r' <"$ZT_DIR/fresh.txt")
zt_require "and it changed nothing" zt_same "$target; REG_DWORD 0x3; products: " \
    "$(zt_deploy_image_path); $(zt_deploy_service_value Start); products: $(zt_installed_products)"
zt_require "nor made the installed folder" test ! -e "$target_dir"
zt_require "sc delete" zt_windows_tool sc delete "$ZT_SERVICE"
zt_require_within "the service registered by hand gone" 30 zt_service_in ABSENT

zt_require "msiexec /i START=auto" zt_windows_tool msiexec /i "$msi" /qn START=auto
expect_installed "version $ZT_VERSION installed, START=auto" "$ZT_VERSION" "$product_code" 0x2 auto
zt_deploy_running "and the service started"
before=$(running_service)

# An upgrade would fail part way, its rollback unable to register the old service again, and a
# repair would fail: both are refused before they change anything (the refusal of a service it
# did not install does not apply to an upgrade, so only the mark refuses it).
rebuild newer.msi 99.0.0 newer
mark_for_deletion 1
refused "an upgrade over a service marked for deletion is refused" upgrade.txt \
    zt_windows_tool msiexec /i "$newer" /qn
expect_installed "and changes nothing" "$ZT_VERSION" "$product_code" 0x2 auto
expect_unchanged "nor the running service" "$before"
refused "so is a repair" repair.txt repair_command "$msi"
expect_installed "which changes nothing either" "$ZT_VERSION" "$product_code" 0x2 auto
expect_unchanged "nor the running service" "$before"

# Windows writes 1; any DWORD other than zero is read as the mark.
mark_for_deletion 2
refused "with DeleteFlag=2 the upgrade is refused too" upgrade-2.txt \
    zt_windows_tool msiexec /i "$newer" /qn
expect_installed "and changes nothing" "$ZT_VERSION" "$product_code" 0x2 auto
mark_for_deletion 0
repair "$msi"
expect_installed "with DeleteFlag=0 a repair goes through" "$ZT_VERSION" "$product_code" 0x2 auto
expect_unchanged "and leaves the running service running" "$before"

# Stopped first: Wine's msiexec /x does not wait for the stop (21-msi).
zt_deploy_stop
mark_for_deletion 1
zt_require "msiexec /x of a service marked for deletion goes through" \
    zt_windows_tool msiexec /x "$msi" /qn
zt_require "it removed the service" service_removed
zt_require "and the installed folder" test ! -e "$target_dir"
zt_require "and START and the product" nothing_installed

# Without the mark an upgrade goes through as ever; then the removal by product code of the
# marked newer version.
rm "$(zt_c_file "$ZT_STANDIN_LOG")"
zt_require "msiexec /i START=auto" zt_windows_tool msiexec /i "$msi" /qn START=auto
zt_deploy_running "and the service started"
zt_deploy_stop
rm "$(zt_c_file "$ZT_STANDIN_LOG")"
zt_require "without the mark, msiexec /i of version 99.0.0" zt_windows_tool msiexec /i "$newer" /qn
expect_installed "upgraded to version 99.0.0, START=auto kept" 99.0.0 "$newer_code" 0x2 auto
zt_deploy_running "and the new service started"
zt_deploy_stop
mark_for_deletion 2
zt_require "msiexec /x by the product code of a service marked for deletion goes through" \
    zt_windows_tool msiexec /x "$newer_code" /qn
zt_require "it removed the service" service_removed
zt_require "and the installed folder" test ! -e "$target_dir"
zt_require "and START and the product" nothing_installed

# A removal of the one feature, as a deployment tool may ask for it: Windows sets REMOVE to ALL in
# InstallValidate, before the mark's refusal looks at it.
if zt_on native "removing the one feature, REMOVE=ALL once validated (Wine's stays as given)"; then
    zt_require "msiexec /i" zt_windows_tool msiexec /i "$msi" /qn
    mark_for_deletion 1
    zt_require "msiexec /i REMOVE=Service of a service marked for deletion goes through" \
        zt_windows_tool msiexec /i "$msi" /qn REMOVE=Service
    zt_require "it removed the service" service_removed
    zt_require "and START and the product" nothing_installed
fi

# Marked by Windows itself: the status driver holds the stopped service open while sc.exe delete
# marks it (stopped first, so that it goes once the holder ends, whatever OpenService does with a
# marked service). What Windows Installer does with a marked service is not documented: a failed
# removal is shown, and done again once the handle is closed, as README-admin says.
if zt_on native "a service marked for deletion by Windows (Wine writes no DeleteFlag)"; then
    zt_require "msiexec /i" zt_windows_tool msiexec /i "$msi" /qn
    zt_require "the service on demand, stopped" zt_service_in STOPPED
    "${ZT_RUN[@]}" "$ZT_DRIVER" "$ZT_SERVICE" mark holding hold 600000 \
        >"$ZT_DIR/holder.log" 2>"$ZT_DIR/holder.err" </dev/null &
    holder=$!
    zt_require_within "a program holds the service open" 60 \
        zt_seen "$ZT_DIR/holder.log" event=mark text=holding
    zt_require "sc.exe delete marks it" zt_windows_tool sc delete "$ZT_SERVICE"
    zt_expect "Windows wrote DeleteFlag=1, the service stopped" marked_and_stopped
    echo "  note sc.exe query of the marked service reads $(zt_service_state)"
    status=0
    zt_windows_tool msiexec /x "$msi" /qn /l*v "$(zt_windows_path "$ZT_DIR/remove-held.txt")" ||
        status=$?
    if ! zt_compare "msiexec /x of the service Windows marked goes through" 0 "$status"; then
        echo "  note its log's errors:"
        tr -d '\0\r' <"$ZT_DIR/remove-held.txt" | grep -E 'Error [0-9]+|1072' | zt_indented
    fi
    zt_expect "the service left marked while held" marked_and_stopped
    if [ "$status" -eq 0 ]; then
        zt_expect "and removed the product" nothing_installed
        refused "then an installation is refused" held.txt zt_windows_tool msiexec /i "$msi" /qn
        zt_compare "and installs nothing" "" "$(zt_installed_products)"
    fi
    kill "$holder"
    wait "$holder" 2>/dev/null
    [ "$status" -eq 0 ] ||
        zt_require "the handle closed, msiexec /x again" zt_windows_tool msiexec /x "$msi" /qn
    zt_require_within "once the handle is closed, the service is gone" 60 service_removed
    zt_require "nothing of the installation left" nothing_installed
    zt_require "then msiexec /i installs" zt_windows_tool msiexec /i "$msi" /qn
    expect_installed "the service registered again, on demand" \
        "$ZT_VERSION" "$product_code" 0x3 demand
    zt_require "and msiexec /x removes it" zt_windows_tool msiexec /x "$msi" /qn
    zt_require "leaving nothing" service_removed
fi
zt_finish
