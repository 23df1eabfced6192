#!/usr/bin/env bash
# The zip for administrators: exactly the service, the monitor, README-admin.txt with CRLF line
# ends and SHA256SUMS, which matches the other three; the service registered by hand as
# README-admin shows it (a folder under Program Files, the image path quoted, a process of its own,
# on demand) starts its program and ends it; the installer package refuses to take it over and
# leaves it as it was; removed by hand as README-admin shows, it is gone and the package installs.
set -euo pipefail
. "$(dirname "$0")/../deploy-lib.sh"

build_packages
folder=OrveldenZentorvikTool-$VERSION-win32
listing=$(unzip -Z1 "$ZIP" | LC_ALL=C sort | xargs)
[ "$listing" = "$folder/OrveldenZentorvikTool.exe $folder/README-admin.txt $folder/SHA256SUMS $folder/dbwin-monitor.exe" ] ||
    fail "the zip holds: $listing"
lf_only=$(unzip -p "$ZIP" "$folder/README-admin.txt" | grep -c -v $'\r$' || true)
[ "$lf_only" -eq 0 ] || fail "README-admin.txt in the zip has $lf_only lines without CRLF"
pass "the zip holds the service, the monitor, README-admin.txt (CRLF) and SHA256SUMS, nothing else"

new_prefix
summed=$(sed 's/^[0-9a-f]* *//' "$PACKAGE_DIR/SHA256SUMS" | LC_ALL=C sort | xargs)
[ "$summed" = "OrveldenZentorvikTool.exe README-admin.txt dbwin-monitor.exe" ] ||
    fail "SHA256SUMS sums: $summed"
(cd "$PACKAGE_DIR" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
pass "SHA256SUMS matches the other three files"

folder_win='C:\Program Files (x86)\Orvelden Zentorvik Tool'
target_dir="$ZT_C/Program Files (x86)/Orvelden Zentorvik Tool"
target="\"$folder_win\\OrveldenZentorvikTool.exe\""
mkdir -p "$target_dir"
cp "$PACKAGE_DIR/OrveldenZentorvikTool.exe" "$target_dir/"
wine "$SC" create "$SERVICE" binPath= "$target" type= own start= demand >"$WORK/sc.out" 2>&1 ||
    fail "sc create: $(cat "$WORK/sc.out")"
[ "$(image_path)" = "$target" ] || fail "image path: $(service_value ImagePath)"
[ "$(service_value Start)" = "REG_DWORD 0x3" ] || fail "start type: $(service_value Start)"
[ "$(service_value Type)" = "REG_DWORD 0x10" ] || fail "service type: $(service_value Type)"
pass "registered by hand under Program Files (x86), the image path quoted, on demand"
start_and_check_hosted
stop_and_check_hosted

# The installer package refuses to take that service over, says why and how to remove it, and
# leaves it as it was.
status=0
wine "$MSIEXEC" /i "$(winpath "$MSI")" /qn /l*v "$(winpath "$WORK/refused.log")" || status=$?
[ "$status" -ne 0 ] || fail "the MSI installed over the service registered by hand"
[ "$(image_path)" = "$target" ] && [ "$(service_value Start)" = "REG_DWORD 0x3" ] &&
    cmp -s "$PACKAGE_DIR/OrveldenZentorvikTool.exe" "$target_dir/OrveldenZentorvikTool.exe" ||
    fail "the MSI changed the service registered by hand"
[ -z "$(installed_products)" ] || fail "the refused MSI is registered as a product: $(installed_products)"
pass "the MSI refuses the service registered by hand (exit status $status) and changes nothing"
# Wine's msiexec logs no launch condition's message (it only shows it in a message box).
if zt_on native "the refusal's message in the installation's log"; then
    tr -d '\0\r' <"$WORK/refused.log" |
        grep -q 'this package did not install it.*sc.exe delete "Orvelden Zentorvik Tool"' ||
        fail "the MSI's log has no message naming the commands that remove the service"
    pass "its log says that the package did not install the service, and how to remove it"
fi

wine "$SC" delete "$SERVICE" >"$WORK/sc.out" 2>&1 || fail "sc delete: $(cat "$WORK/sc.out")"
rm -r "$target_dir"
wait_until 30 "removed by hand: the registration gone" state_is ABSENT
! service_key_exists || fail "the service's registry key is still there"

wine "$MSIEXEC" /i "$(winpath "$MSI")" /qn || fail "msiexec /i once the service registered by hand is gone"
[ -n "$(installed_products)" ] && [ "$(service_value Start)" = "REG_DWORD 0x3" ] ||
    fail "the MSI did not install: $(installed_products)"
wine "$MSIEXEC" /x "$(winpath "$MSI")" /qn || fail "msiexec /x"
wait_until 30 "then the MSI installs, and its removal leaves no service" state_is ABSENT
