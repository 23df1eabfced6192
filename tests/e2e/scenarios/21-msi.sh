#!/usr/bin/env bash
# needs: packages
# cost: 175
# The Windows Installer package under Wine's msiexec, and what each operation of one version does
# with the service: an installation on demand registers it stopped, one with START=auto starts
# it; a repair never stops it (a running service keeps its process and its program) and starts a
# stopped START=auto one, and replaces a deleted or changed executable; removal stops the service
# and leaves nothing. START, letter case aside, is remembered through a repair, and a repair
# without a remembered START keeps the start type and remembers it again; a new installation with
# a START other than demand or auto is refused. The upgrades are 22-msi-upgrades.
. "$(dirname "$0")/../msi-lib.sh"

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

# Without a remembered START the repair finds the automatic start's component installed and
# writes back auto; the component stays, and so does the running service. 22-msi-upgrades shows
# what the next upgrade makes of it.
zt_require "the remembered START deleted" \
    zt_windows_tool reg delete "$remembered_key" /v START /f
repair "$msi"
expect_installed "a repair without a remembered START kept the automatic start and remembered it" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 auto
expect_unchanged "and the running service" "$before"

# With its executable missing the search finds no component, and the remembered START holds. Wine
# leaves a component whose condition fails in a repair as it is, so it keeps the start type even
# for a package that forgets START; what shows START here is the value the repair wrote back.
zt_deploy_stop
# The service's process holds its executable until it ends, just after it reports STOPPED.
zt_require_within "the installed executable deleted" 10 rm -f "$installed_exe"
rm "$ZT_C/zentorvik-standin.log"
repair "$msi"
expect_installed "a repair put the missing executable back and kept START=auto" \
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 auto
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
    "$ZT_VERSION" "$(zt_deploy_product_code "$ZT_MSI")" 0x2 auto
zt_deploy_running "and started the stopped START=auto service"

zt_deploy_stop
zt_finish
