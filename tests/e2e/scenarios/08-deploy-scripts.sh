#!/usr/bin/env bash
# install.cmd and uninstall.cmd from the zip: install from a 32-bit cmd and uninstall from a 64-bit
# one, the options alone and combined, re-runs, the folder's permissions, folders refused, a
# registration of another file, a service marked for deletion, an executable still in use, and a
# refusal without elevation. The folders of the options are in the scenario's own folder.
#
# Under Wine, stand-ins: Wine's whoami prints only the user name and its icacls does nothing, so
# stand-ins answer as a high, system or medium token and record the icacls calls (deploy-lib.sh).
# Wine writes no DeleteFlag for a service deleted while a handle is open; the test writes it, as
# Windows would, to show what the scripts make of it. On Windows the real whoami and icacls run,
# so the calls and the refusal without elevation are checked under Wine only.
#
# Only Windows can show (the checks that can are made there):
# - %~dp0 after a plain shift: Wine keeps the script's folder, so options never broke the copy
#   here; Windows follows the shifted argument, which the scripts avoid by saving it first.
# - the permissions icacls sets, and who may then replace the executable;
# - whoami's integrity level of a real token (elevated, filtered, LocalSystem);
# - sc.exe's exit code 1072 for a service marked for deletion (Wine's sc exits 1), and sc.exe
#   config (Wine's sc has none: a second run with /auto is left to Windows);
# - reg and cmd sharing the console code page: Wine's cmd reads pipes in the ANSI code page and
#   its reg writes in the OEM one, so a folder name with letters outside ASCII that cmd keeps
#   (C:\Ärzte) still comes back changed from reg; only names cmd itself changes are shown here.
set -euo pipefail
. "$(dirname "$0")/../deploy-lib.sh"

build_packages
for file in README-admin.txt install.cmd uninstall.cmd; do
    lf_only=$(unzip -p "$ZIP" "OrveldenZentorvikTool-$VERSION-win32/$file" |
        grep -c -v $'\r$' || true)
    [ "$lf_only" -eq 0 ] || fail "$file in the zip has $lf_only lines without CRLF"
done
pass "the zip's README-admin.txt and scripts have CRLF line ends"

new_prefix
zt_on wine "stand-ins for whoami and icacls, which Wine only stubs" && install_command_standins

install_cmd=$(winpath "$PACKAGE_DIR/install.cmd")
uninstall_cmd=$(winpath "$PACKAGE_DIR/uninstall.cmd")
cmd32='C:\windows\syswow64\cmd.exe'
program_files='C:\Program Files (x86)\Orvelden Zentorvik Tool'
target_dir="$ZT_C/Program Files (x86)/Orvelden Zentorvik Tool"
target="\"$program_files\\OrveldenZentorvikTool.exe\""

expect_exit 0 "install.cmd from a 32-bit cmd" wine "$cmd32" /c "$install_cmd"
[ "$(image_path)" = "$target" ] || fail "image path: $(service_value ImagePath)"
[ "$(service_value Start)" = "REG_DWORD 0x3" ] || fail "start type: $(service_value Start)"
[ "$(service_value Type)" = "REG_DWORD 0x10" ] || fail "service type: $(service_value Type)"
[ -n "$(service_value Description)" ] || fail "no description"
cmp -s "$PACKAGE_DIR/OrveldenZentorvikTool.exe" "$target_dir/OrveldenZentorvikTool.exe" ||
    fail "the installed executable differs from the packaged one"
acl="\"$program_files\" /setowner *S-1-5-32-544 /q
\"$program_files\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX /q"
zt_on wine "the icacls calls, as its stand-in records them" && {
    [ "$(icacls_calls)" = "$acl" ] || fail "the folder's permissions were not set as expected"
}
pass "install.cmd from a 32-bit cmd: Program Files (x86), quoted, on demand, folder secured"

expect_exit 0 "install.cmd from a 64-bit cmd" wine cmd /c "$install_cmd"
[ "$(image_path)" = "$target" ] || fail "second run changed the image path"
zt_on wine "the icacls calls, as its stand-in records them" && {
    [ "$(icacls_calls)" = "$acl
\"$program_files\\OrveldenZentorvikTool.exe\" /setowner *S-1-5-32-544 /q
\"$program_files\\OrveldenZentorvikTool.exe\" /reset /q" ] ||
        fail "the second run did not secure the folder and the executable again"
}
pass "install.cmd again, from a 64-bit cmd: the same folder"

if zt_on native "a second run with /auto: Wine's sc has no config"; then
    expect_exit 0 "install.cmd /auto over the installed service" wine cmd /c "$install_cmd" /auto
    [ "$(service_value Start)" = "REG_DWORD 0x2" ] || fail "start type: $(service_value Start)"
    expect_exit 0 "install.cmd without /auto" wine cmd /c "$install_cmd"
    [ "$(service_value Start)" = "REG_DWORD 0x3" ] || fail "start type: $(service_value Start)"
    pass "install.cmd with and then without /auto changed the installed service's start type"
fi

start_and_check_hosted
stop_and_check_hosted

expect_exit 0 "uninstall.cmd from a 64-bit cmd" wine cmd /c "$uninstall_cmd"
! service_key_exists || fail "the registry key is still there"
[ ! -e "$target_dir" ] || fail "$target_dir is still there"
pass "uninstall.cmd from a 64-bit cmd removed the 32-bit cmd's install"

expect_exit 0 "uninstall.cmd with nothing installed" wine cmd /c "$uninstall_cmd"
pass "uninstall.cmd twice in a row"

rm -f "$ZT_C/zentorvik-standin.log"
expect_exit 0 "install.cmd /start" wine cmd /c "$install_cmd" /start
wait_until "$START_SECONDS" "service running after install.cmd /start" state_is RUNNING
wait_until "$START_SECONDS" "hosted program started" hosted_started
expect_exit 0 "uninstall.cmd of a running service" wine "$cmd32" /c "$uninstall_cmd"
hosted_gone || fail "the hosted program survived uninstall.cmd"
[ "$(zt_service_state)" = ABSENT ] || fail "the service is still registered"
[ ! -e "$target_dir" ] || fail "$target_dir is still there"
pass "uninstall.cmd from a 32-bit cmd stopped and removed a running service"

# As LocalSystem (a deployment agent), with every option; uninstall finds the folder itself and
# ignores the /dir it is given. On Windows it runs as the elevated administrator.
rm -f "$ZT_C/zentorvik-standin.log"
ZT_WHOAMI_OUTPUT=$WHOAMI_SYSTEM expect_exit 0 "install.cmd /dir /auto /start" \
    wine cmd /c "$install_cmd" /dir "$ZT_SCRATCH_WIN\\Other Place\\" /auto /start
[ "$(image_path)" = "\"$ZT_SCRATCH_WIN\\Other Place\\OrveldenZentorvikTool.exe\"" ] ||
    fail "image path with /dir: $(service_value ImagePath)"
[ "$(service_value Start)" = "REG_DWORD 0x2" ] || fail "start type with /auto: $(service_value Start)"
zt_on wine "the icacls calls, as its stand-in records them" && {
    [ "$(icacls_calls | grep -c -F "\"$ZT_SCRATCH_WIN\\Other Place\" ")" -eq 2 ] ||
        fail "the /dir folder was not secured"
}
wait_until "$START_SECONDS" "service running after install.cmd /dir /auto /start" state_is RUNNING
ZT_WHOAMI_OUTPUT=$WHOAMI_SYSTEM expect_exit 0 "uninstall.cmd /dir elsewhere" \
    wine cmd /c "$uninstall_cmd" /dir 'C:\Program Files (x86)\Orvelden Zentorvik Tool'
[ "$(zt_service_state)" = ABSENT ] || fail "the service is still registered"
[ ! -e "$ZT_SCRATCH/Other Place" ] || fail "$ZT_SCRATCH_WIN\\Other Place is still there"
pass "install.cmd /dir /auto /start and uninstall.cmd found it from the registration"

expect_exit 0 "install.cmd /dir" wine cmd /c "$install_cmd" /dir "$ZT_SCRATCH_WIN\\Tools (x86) here"
expect_exit 0 "uninstall.cmd" wine cmd /c "$uninstall_cmd"
[ ! -e "$ZT_SCRATCH/Tools (x86) here" ] || fail "$ZT_SCRATCH_WIN\\Tools (x86) here is still there"
pass "install.cmd /dir alone, into a folder with parentheses"

mkdir -p "$ZT_SCRATCH/Shared Tools"
icacls_calls >/dev/null
echo keep >"$ZT_SCRATCH/Shared Tools/other.txt"
# Wine's cmd /c drops a lone % from its command line and makes one of %%.
for dir in "$ZT_SCRATCH_WIN\\x & mkdir $ZT_SCRATCH_WIN\\injected" 'C:\a ^ b' 'C:\50%% off' 'C:\a | b' \
    'C:\a > b' 'C:\a < b' 'C:\' 'C:\Дир x' "$ZT_SCRATCH_WIN\\Shared Tools"; do
    expect_exit 10 "install.cmd /dir $dir" wine cmd /c "$install_cmd" /dir "$dir"
done
[ "$(zt_service_state)" = ABSENT ] || fail "a refused /dir registered the service"
zt_on wine "the icacls calls, as its stand-in records them" && {
    [ -z "$(icacls_calls)" ] || fail "a refused /dir had its permissions changed"
}
[ ! -e "$ZT_SCRATCH/injected" ] && [ "$(ls "$ZT_SCRATCH/Shared Tools")" = other.txt ] ||
    fail "a refused /dir changed the file system"
pass "install.cmd refuses & ^ % | > <, a drive, a name the code page changes, a shared folder"

mkdir "$WORK/alone"
cp "$PACKAGE_DIR/install.cmd" "$WORK/alone/"
expect_exit 2 "install.cmd without the executable" wine cmd /c "$(winpath "$WORK/alone/install.cmd")"
[ "$(zt_service_state)" = ABSENT ] || fail "install.cmd without the executable registered something"
pass "install.cmd refuses when the executable is missing"

if zt_on wine "icacls failing on demand, as its stand-in does"; then
    ZT_ICACLS_EXIT=5 expect_exit 4 "install.cmd when icacls fails" wine cmd /c "$install_cmd"
    [ "$(zt_service_state)" = ABSENT ] && [ ! -e "$target_dir/OrveldenZentorvikTool.exe" ] ||
        fail "install.cmd went on after icacls failed"
    pass "install.cmd stops when the folder cannot be secured"
    rmdir "$target_dir"
fi

other="$ZT_SCRATCH_WIN\\elsewhere\\other.exe"
mkdir -p "$ZT_SCRATCH/elsewhere"
echo keep >"$ZT_SCRATCH/elsewhere/other.exe"
wine sc create "$SERVICE" binPath= "\"$other\"" >/dev/null
expect_exit 3 "install.cmd over another service's path" wine cmd /c "$install_cmd"
[ "$(image_path)" = "\"$other\"" ] || fail "install.cmd changed the other registration"
[ ! -e "$target_dir" ] || fail "install.cmd copied the executable anyway"
pass "install.cmd refuses a registration of another file"
if zt_on wine "a token without elevation, as the whoami stand-in gives it"; then
    ZT_WHOAMI_OUTPUT=$WHOAMI_MEDIUM expect_exit 5 "uninstall.cmd without elevation" \
        wine cmd /c "$uninstall_cmd"
    ZT_WHOAMI_OUTPUT=$WHOAMI_MEDIUM expect_exit 5 "install.cmd without elevation" \
        wine cmd /c "$install_cmd"
    service_key_exists || fail "uninstall.cmd without elevation removed the registration"
    pass "both refuse without elevation"
fi
expect_exit 0 "uninstall.cmd of another file's registration" wine cmd /c "$uninstall_cmd"
[ "$(zt_service_state)" = ABSENT ] || fail "the registration is still there"
[ -f "$ZT_SCRATCH/elsewhere/other.exe" ] || fail "uninstall.cmd deleted $other"
pass "uninstall.cmd removes that registration and leaves the other file"

# Marked for deletion: the status driver holds a handle to the service while it is deleted.
expect_exit 0 "install.cmd" wine cmd /c "$install_cmd"
"${ZT_RUN[@]}" "$ZT_DRIVER" "$SERVICE" hold 300000 >"$WORK/holder.log" 2>&1 </dev/null &
holder=$!
wait_until 60 "a handle to the service held" grep -q status "$WORK/holder.log"
expect_exit 3010 "uninstall.cmd while a handle is held" wine cmd /c "$uninstall_cmd"
[ ! -e "$target_dir" ] || fail "uninstall.cmd left $target_dir"
[ "$(zt_service_state)" = STOPPED ] || fail "the service is not left registered while held"
if zt_on native "Windows marks the service for deletion itself"; then
    [ "$(service_value DeleteFlag)" = "REG_DWORD 0x1" ] ||
        fail "no DeleteFlag: $(service_value DeleteFlag)"
else
    wine reg add "$SERVICE_KEY" /v DeleteFlag /t REG_DWORD /d 1 /f >/dev/null
fi
expect_exit 9 "install.cmd over a service marked for deletion" wine cmd /c "$install_cmd"
[ ! -e "$target_dir" ] || fail "install.cmd copied the executable over a marked service"
expect_exit 3010 "uninstall.cmd of a service marked for deletion" wine cmd /c "$uninstall_cmd"
kill "$holder"
wait "$holder" 2>/dev/null || true
wait_until 30 "the service gone once the handle is closed" state_is ABSENT
expect_exit 0 "install.cmd once the handle is closed" wine cmd /c "$install_cmd"
pass "marked for deletion: uninstall.cmd ends with 3010, install.cmd refuses with 9 until it is gone"

# An executable still in use: a program holding the installed file (the stand-in under its name).
cp "$ZT_TOOLS/hosted-standin.exe" "$target_dir/OrveldenZentorvikTool.exe"
rm -f "$ZT_C/zentorvik-standin.quit" "$ZT_C/zentorvik-standin.log"
wine "$program_files\\OrveldenZentorvikTool.exe" >/dev/null 2>&1 &
in_use=$!
wait_until 60 "the installed file in use" grep -qs OrveldenZentorvikTool "$ZT_C/zentorvik-standin.log"
expect_exit 4 "uninstall.cmd while the file stays in use" wine cmd /c "$uninstall_cmd"
service_key_exists || fail "uninstall.cmd removed the registration of a file it could not delete"
wine cmd /c "$uninstall_cmd" >"$WORK/retry.out" 2>&1 &
retry=$!
wait_until 30 "uninstall.cmd retrying" grep -q "in use" "$WORK/retry.out"
touch "$ZT_C/zentorvik-standin.quit"
wait "$in_use" || true
status=0
wait "$retry" || status=$?
[ "$status" -eq 0 ] ||
    fail "uninstall.cmd once the file is free: exit code $status: $(cat "$WORK/retry.out")"
[ "$(zt_service_state)" = ABSENT ] && [ ! -e "$target_dir" ] || fail "uninstall.cmd left something"
pass "uninstall.cmd retries deleting a file in use, and a second run finishes the job"

# An installation by the installer package is left to msiexec, from either cmd.
wine msiexec /i "$(winpath "$MSI")" /qn || fail "msiexec /i"
expect_exit 11 "install.cmd over the installer package's installation" wine "$cmd32" /c "$install_cmd"
expect_exit 11 "uninstall.cmd of the installer package's installation" wine cmd /c "$uninstall_cmd"
[ -f "$target_dir/OrveldenZentorvikTool.exe" ] && service_key_exists ||
    fail "a script changed the installer package's installation"
wine msiexec /x "$(winpath "$MSI")" /qn || fail "msiexec /x"
pass "both scripts refuse an installation by the installer package"
