#!/usr/bin/env bash
# needs: packages
# The zip for administrators, and the service registered and removed by hand from it as
# README-admin shows, which the installer package refuses to take over, marked for deletion or not.
. "$(dirname "$0")/../deploy-lib.sh"

zt_deploy_packages
folder=$ZT_PACKAGE_NAME-$ZT_VERSION-win32
zt_compare "the zip holds the service, the monitor, README-admin.txt and SHA256SUMS, nothing else" \
    "$(printf '%s\n' "$folder"/{"$ZT_SERVICE_EXE_NAME",README-admin.txt,SHA256SUMS,dbwin-monitor.exe} |
        LC_ALL=C sort)" \
    "$(unzip -Z1 "$ZT_ZIP" | LC_ALL=C sort)"
zt_compare "README-admin.txt in the zip has CRLF line ends" \
    0 "$(unzip -p "$ZT_ZIP" "$folder/README-admin.txt" | grep -c -v $'\r$')"

zt_deploy_begin
zt_compare "SHA256SUMS sums the other three files" \
    "$(printf '%s\n' "$ZT_SERVICE_EXE_NAME" README-admin.txt dbwin-monitor.exe | LC_ALL=C sort | xargs)" \
    "$(sed 's/^[0-9a-f]* *//' "$ZT_PACKAGE_DIR/SHA256SUMS" | LC_ALL=C sort | xargs)"
zt_expect "SHA256SUMS matches them" \
    sh -c 'cd "$1" && sha256sum --quiet -c SHA256SUMS' - "$ZT_PACKAGE_DIR"

mkdir -p "$target_dir"
cp "$ZT_PACKAGE_DIR/$ZT_SERVICE_EXE_NAME" "$target_dir/"
zt_require "sc create, as README-admin shows" \
    zt_windows_tool sc create "$ZT_SERVICE" binPath= "$target" type= own start= demand
zt_require "registered under Program Files (x86), the image path quoted" \
    zt_same "$target" "$(zt_deploy_image_path)"
zt_require "on demand, a process of its own" \
    zt_same "REG_DWORD 0x3 REG_DWORD 0x10" \
    "$(zt_deploy_service_value Start) $(zt_deploy_service_value Type)"
zt_deploy_start
zt_deploy_stop

zt_must_fail "the MSI refuses to install over the service registered by hand" \
    zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_MSI")" /qn \
    /l*v "$(zt_windows_path "$ZT_DIR/refused.txt")"
zt_require "and changes nothing: image path" zt_same "$target" "$(zt_deploy_image_path)"
zt_require "start type" zt_same "REG_DWORD 0x3" "$(zt_deploy_service_value Start)"
zt_require "the executable" \
    cmp "$ZT_PACKAGE_DIR/$ZT_SERVICE_EXE_NAME" "$target_dir/$ZT_SERVICE_EXE_NAME"
zt_require "no product registered" zt_same "" "$(zt_installed_products)"
# Wine's msiexec logs no launch condition's message (it only shows it in a message box). The log
# is UTF-16 text with CRLF line ends.
if zt_on native "the refusal's message in the installation's log"; then
    zt_expect "its log says that the package did not install the service, and how to remove it" \
        grep -q "this package did not install it.*sc.exe delete \"$ZT_SERVICE\"" \
        <(tr -d '\0\r' <"$ZT_DIR/refused.txt")
fi

# Marked for deletion (DeleteFlag written here for the package's search), where deleting the
# service would fail (1072): the refusal is the mark's own.
zt_require "DeleteFlag=1 written" \
    zt_windows_tool reg add "$ZT_SERVICE_KEY" /v DeleteFlag /t REG_DWORD /d 1 /f
zt_must_fail "the MSI refuses to install over the service marked for deletion" \
    zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_MSI")" /qn \
    /l*v "$(zt_windows_path "$ZT_DIR/marked.txt")"
zt_expect "its search found the mark" \
    grep -q 'MARKEDFORDELETION = #1' <(tr -d '\0\r' <"$ZT_DIR/marked.txt")
zt_require "and it changed nothing" zt_same "$target; REG_DWORD 0x3; products: " \
    "$(zt_deploy_image_path); $(zt_deploy_service_value Start); products: $(zt_installed_products)"
if zt_on native "the refusal's message in the installation's log"; then
    zt_expect "its log says the service is marked for deletion and what to close" \
        grep -q 'is marked for deletion.*such as the Services console, or restart Windows' \
        <(tr -d '\0\r' <"$ZT_DIR/marked.txt")
    zt_must_fail "not that the package did not install it" \
        grep -q 'this package did not install it' <(tr -d '\0\r' <"$ZT_DIR/marked.txt")
fi
zt_require "DeleteFlag removed" zt_windows_tool reg delete "$ZT_SERVICE_KEY" /v DeleteFlag /f

zt_require "sc delete, as README-admin shows" zt_windows_tool sc delete "$ZT_SERVICE"
rm -r "$target_dir"
zt_require_within "removed by hand: the registration gone" 30 zt_service_in ABSENT
zt_must_fail "and the service's registry key" zt_deploy_service_key_exists

zt_require "then the MSI installs" zt_windows_tool msiexec /i "$(zt_windows_path "$ZT_MSI")" /qn
zt_require "as a product, the service on demand" \
    zt_same "$ZT_VERSION REG_DWORD 0x3" \
    "$(zt_installed_products | sed 's/ .*//') $(zt_deploy_service_value Start)"
zt_require "msiexec /x" zt_windows_tool msiexec /x "$(zt_windows_path "$ZT_MSI")" /qn
zt_require_within "and its removal leaves no service" 30 zt_service_in ABSENT
zt_finish
