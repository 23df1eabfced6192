#!/usr/bin/env bash
# needs: packages
# cost: 55
# The installer package installed on demand: its tables, a START refused, the service stopped
# after installation and a boot, a repair that leaves it running, a removal that leaves nothing.
# START=auto and the other repairs are 25-msi-repairs, the upgrades 22-msi-upgrades.
. "$(dirname "$0")/../msi-lib.sh"

# Only Windows would show these, in runs no scenario makes: a repair of transitive components with
# the executable gone would swap them, deleting the service; an installation with an interface and
# without elevation would pass the execute sequence no private search result.
if zt_on wine "the package's tables, read with msiinfo"; then
    # The service's components: their transitive bit (0x40) and their conditions.
    zt_compare "the service's components are not transitive, each under its START condition" \
        $'ServiceDemand 0 START~<>"auto"\nServiceAuto 0 START~="auto"' "$(zt_text msiinfo export \
        "$ZT_MSI" Component | awk -F'\t' '/^Service/ { print $1, int($4 / 64) % 2 * 64, $5 }')"
    zt_expect "what a search sets and the execute sequence reads is private or secure" \
        zt_records expect-searches-secure "$ZT_MSI"
fi

zt_must_fail "an installation with a START other than demand or auto is refused" \
    zt_windows_tool msiexec /i "$msi" /qn START=sometimes
zt_require "and installs nothing" zt_same "ABSENT; products: " \
    "$(zt_service_state); products: $(zt_installed_products | xargs)"

zt_require "msiexec /i" zt_windows_tool msiexec /i "$msi" /qn
expect_installed "it installed the executable and registered the service on demand, START remembered" \
    "$ZT_VERSION" "$product_code" 0x3 demand
zt_compare "the service on demand is stopped after msiexec /i" STOPPED "$(zt_service_state)"
zt_compare "Programs and Features offers no Change" 0x1 "$(product_value "$product_code" NoModify)"

boot
zt_compare "a service on demand did not start at boot" STOPPED "$(zt_service_state)"
zt_deploy_start

# The service on demand as the administrator had it: running, and a repair leaves it running.
before=$(running_service)
zt_require "the service and its program run" grep -qE '^service [0-9]+; program [0-9]' <<<"$before"
repair "$msi"
expect_installed "a repair kept the installation" "$ZT_VERSION" "$product_code" 0x3 demand
expect_unchanged "a repair left the running service on demand running: the same process and program" \
    "$before"

# Wine's msiexec does not wait for the stop, so it leaves the executable, still in use; Windows
# Installer waits (ServiceControl Wait) before it removes files.
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
zt_finish
