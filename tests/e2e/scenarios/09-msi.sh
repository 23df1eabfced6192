#!/usr/bin/env bash
# The Windows Installer package under Wine's msiexec: install registers the service with a quoted
# image path, the service runs its program, removal stops it and leaves nothing; START=auto,
# a reinstall, an upgrade to a newer version and the refused downgrade.
# Where Wine's msiexec differs from Windows, the check says so.
set -euo pipefail
. "$(dirname "$0")/../deploy-lib.sh"

build_packages
new_prefix

msi=$(winpath "$MSI")
target_dir="$WINEPREFIX/drive_c/Program Files (x86)/Orvelden Zentorvik Tool"
target='"C:\Program Files (x86)\Orvelden Zentorvik Tool\OrveldenZentorvikTool.exe"'

# Product registrations of this package, one "version" line each, in both registry views.
installed_versions() {
    local view
    for view in 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
        'HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall'; do
        wine reg query "$view" /s 2>/dev/null | tr -d '\r' | awk '
            /^HKEY/ { ours = 0; version = "" }
            /DisplayName +REG_SZ +Orvelden Zentorvik Tool$/ { ours = 1 }
            /DisplayVersion/ { version = $3 }
            /^$/ { if (ours) print version; ours = 0 }'
    done | sort -u
}

service_removed() {
    [ "$(service_state)" = ABSENT ] && ! service_key_exists && hosted_gone
}

wine msiexec /i "$msi" /qn || fail "msiexec /i"
# Wine's installer registers the image path unquoted; the package's own registry row quotes it.
# Windows Installer quotes it itself.
[ "$(service_value ImagePath)" = "REG_SZ $target" ] || fail "image path: $(service_value ImagePath)"
[ "$(service_value Start)" = "REG_DWORD 0x3" ] || fail "start type: $(service_value Start)"
[ "$(service_value Type)" = "REG_DWORD 0x10" ] || fail "service type: $(service_value Type)"
cmp -s "$PACKAGE_DIR/OrveldenZentorvikTool.exe" "$target_dir/OrveldenZentorvikTool.exe" ||
    fail "the installed executable differs from the one in the zip"
[ "$(installed_versions)" = "$VERSION" ] || fail "product registrations: $(installed_versions)"
pass "msiexec /i registered the service, quoted, on demand, and installed the executable"

# The service controller read the unquoted path when the service was created (under Wine as on
# Windows, a registry edit reaches it at the next boot): restart the prefix's server so the start
# below runs the quoted path.
restart_server
start_and_check_hosted

# Wine's msiexec sends the stop and goes on at once: it deletes the service, which goes when it
# has stopped, and cannot remove the executable still in use, which it leaves behind (nor does it
# schedule it for removal at the next boot). Windows Installer waits for the stop (ServiceControl
# Wait) before it removes files, so nothing is left there.
wine msiexec /x "$msi" /qn || fail "msiexec /x"
wait_until 60 "msiexec /x stopped the service and removed it and its program" service_removed
[ -z "$(installed_versions)" ] || fail "still registered as a product: $(installed_versions)"
if [ -e "$target_dir/OrveldenZentorvikTool.exe" ]; then
    echo "  note Wine's msiexec left the executable, in use when it was removed"
    rm -r "$target_dir"
fi
[ ! -e "$target_dir" ] || fail "msiexec /x left $(ls "$target_dir")"

wine msiexec /i "$msi" /qn START=auto || fail "msiexec /i START=auto"
[ "$(service_value Start)" = "REG_DWORD 0x2" ] || fail "start type with START=auto: $(service_value Start)"
[ "$(service_value ImagePath)" = "REG_SZ $target" ] || fail "image path: $(service_value ImagePath)"
pass "reinstall with START=auto"

wine msiexec /i "$msi" /qn START=auto || fail "msiexec /i of the installed package"
[ "$(service_value Start)" = "REG_DWORD 0x2" ] || fail "second install changed the start type"
pass "installing the installed package again changes nothing"

status=0
wine msiexec /i "$msi" /qn START=sometimes || status=$?
[ "$status" -ne 0 ] || fail "START=sometimes was accepted"
pass "START other than demand or auto is refused (exit code $status; Windows: 1603)"

# A newer version: same upgrade code, new product code. START is not remembered across it.
# The service is stopped here: with it running, Wine's installer (which does not wait for the stop)
# deletes the old registration only once the service has stopped, after the new version failed to
# register its own, and the service is gone. Windows Installer waits for the stop first.
cpack --config "$ZT_BUILD/CPackConfig.cmake" -D CPACK_PACKAGE_VERSION=99.0.0 \
    -D CPACK_ZT_MSI="$WORK/newer.msi" -B "$WORK/cpack" >/dev/null || fail "cpack of version 99.0.0"
wine msiexec /i "$(winpath "$WORK/newer.msi")" /qn || fail "msiexec /i of version 99.0.0"
[ "$(installed_versions)" = 99.0.0 ] || fail "product registrations after the upgrade: $(installed_versions)"
[ "$(service_value Start)" = "REG_DWORD 0x3" ] || fail "start type after the upgrade: $(service_value Start)"
[ "$(service_value ImagePath)" = "REG_SZ $target" ] || fail "image path after the upgrade"
[ -f "$target_dir/OrveldenZentorvikTool.exe" ] || fail "the upgrade removed the executable"
pass "version 99.0.0 replaced the installed version"

status=0
wine msiexec /i "$msi" /qn || status=$?
[ "$status" -ne 0 ] || fail "the older package installed over the newer one"
[ "$(installed_versions)" = 99.0.0 ] || fail "product registrations after the downgrade: $(installed_versions)"
pass "the older package refuses to replace the newer one (exit code $status; Windows: 1603)"

wine msiexec /x "$(winpath "$WORK/newer.msi")" /qn || fail "msiexec /x of version 99.0.0"
service_removed || fail "msiexec /x of a stopped service left it registered"
[ ! -e "$target_dir" ] || fail "msiexec /x left $target_dir"
[ -z "$(installed_versions)" ] || fail "still registered as a product: $(installed_versions)"
pass "msiexec /x of the stopped service removed the registration, the files and the product"
