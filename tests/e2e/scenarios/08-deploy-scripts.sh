#!/usr/bin/env bash
# install.cmd and uninstall.cmd from the zip, under Wine: a full install, start, stop and
# uninstall that leaves nothing behind; both run twice; the refusals Wine can show.
# Not shown here: the refusal without elevation (under Wine every user is an administrator and
# `net session` succeeds).
set -euo pipefail
. "$(dirname "$0")/../deploy-lib.sh"

build_packages
new_prefix

install_cmd=$(winpath "$PACKAGE_DIR/install.cmd")
uninstall_cmd=$(winpath "$PACKAGE_DIR/uninstall.cmd")
target_dir="$WINEPREFIX/drive_c/Program Files/Orvelden Zentorvik Tool"
target='"C:\Program Files\Orvelden Zentorvik Tool\OrveldenZentorvikTool.exe"'

wine cmd /c "$install_cmd" || fail "install.cmd"
[ "$(service_value ImagePath)" = "REG_SZ $target" ] || fail "image path: $(service_value ImagePath)"
[ "$(service_value Start)" = "REG_DWORD 0x3" ] || fail "start type: $(service_value Start)"
[ "$(service_value Type)" = "REG_DWORD 0x10" ] || fail "service type: $(service_value Type)"
[ -n "$(service_value Description)" ] || fail "no description"
cmp -s "$PACKAGE_DIR/OrveldenZentorvikTool.exe" "$target_dir/OrveldenZentorvikTool.exe" ||
    fail "the installed executable differs from the packaged one"
pass "install.cmd registered the service, quoted, on demand"

wine cmd /c "$install_cmd" || fail "install.cmd, second run"
[ "$(service_value ImagePath)" = "REG_SZ $target" ] || fail "second run changed the image path"
pass "install.cmd twice in a row"

start_and_check_hosted

stop_and_check_hosted

wine cmd /c "$uninstall_cmd" || fail "uninstall.cmd"
! service_key_exists || fail "the registry key is still there"
[ "$(service_state)" = ABSENT ] || fail "the service is still registered"
[ ! -e "$target_dir" ] || fail "$target_dir is still there"
pass "uninstall.cmd removed the registration, the executable and its directory"

wine cmd /c "$uninstall_cmd" || fail "uninstall.cmd with nothing installed"
pass "uninstall.cmd twice in a row"

# uninstall.cmd stops a running service itself and waits for it.
rm -f "$ZT_C/zentorvik-standin.log"
wine cmd /c "$install_cmd" /start || fail "install.cmd /start"
wait_until "$START_SECONDS" "service running after install.cmd /start" state_is RUNNING
wait_until "$START_SECONDS" "hosted program started" hosted_started
wine cmd /c "$uninstall_cmd" || fail "uninstall.cmd of a running service"
hosted_gone || fail "the hosted program survived uninstall.cmd"
[ "$(service_state)" = ABSENT ] || fail "the service is still registered"
[ ! -e "$target_dir" ] || fail "$target_dir is still there"
pass "uninstall.cmd stopped and removed a running service"

mkdir "$WORK/alone"
cp "$PACKAGE_DIR/install.cmd" "$WORK/alone/"
status=0
wine cmd /c "$(winpath "$WORK/alone/install.cmd")" 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "install.cmd without the executable: exit code $status, not 2"
[ "$(service_state)" = ABSENT ] || fail "install.cmd without the executable registered something"
pass "install.cmd refuses when the executable is missing"

wine sc create "$SERVICE" binPath= '"C:\elsewhere\OrveldenZentorvikTool.exe"' >/dev/null
status=0
wine cmd /c "$install_cmd" 2>/dev/null || status=$?
[ "$status" -eq 3 ] || fail "install.cmd over another service's path: exit code $status, not 3"
[ "$(service_value ImagePath)" = 'REG_SZ "C:\elsewhere\OrveldenZentorvikTool.exe"' ] ||
    fail "install.cmd changed the other registration"
[ ! -e "$target_dir" ] || fail "install.cmd copied the executable anyway"
pass "install.cmd refuses a service of that name with another image path"

# Wine's sc has no `config`: changing the start type of an existing registration (/auto on a
# second run) is left to Windows. A fresh registration with /auto works here.
wine sc delete "$SERVICE" >/dev/null
wine cmd /c "$install_cmd" /dir 'C:\Other Place\' /auto || fail "install.cmd /dir /auto"
[ "$(service_value ImagePath)" = 'REG_SZ "C:\Other Place\OrveldenZentorvikTool.exe"' ] ||
    fail "image path with /dir: $(service_value ImagePath)"
[ "$(service_value Start)" = "REG_DWORD 0x2" ] || fail "start type with /auto: $(service_value Start)"
wine cmd /c "$uninstall_cmd" /dir 'C:\Other Place' || fail "uninstall.cmd /dir"
[ ! -e "$WINEPREFIX/drive_c/Other Place" ] || fail "C:\\Other Place is still there"
pass "install.cmd /dir /auto and uninstall.cmd /dir"
