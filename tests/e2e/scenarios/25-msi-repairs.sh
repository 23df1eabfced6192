#!/usr/bin/env bash
# needs: packages
# cost: 90
# The package installed with START=auto: it and a boot start the service; START, letter case aside,
# is remembered as given and kept through repairs and a second installation, none of which stops
# the service; a repair of a stopped installation replaces a deleted or changed executable.
. "$(dirname "$0")/../msi-lib.sh"

# Letter case aside: the value is remembered as given.
zt_require "msiexec /i START=Auto" zt_windows_tool msiexec /i "$msi" /qn START=Auto
expect_installed "START=Auto remembered as given, the service to start automatically" \
    "$ZT_VERSION" "$product_code" 0x2 Auto
zt_deploy_running "msiexec /i START=Auto started the service"
boot
zt_deploy_running "START=auto: the service started with the system"

before=$(running_service)
repair "$msi"
expect_installed "a repair kept START=Auto" "$ZT_VERSION" "$product_code" 0x2 Auto
expect_unchanged "a repair left the running START=auto service running: the same process and program" \
    "$before"

# Another START would swap the components that share the executable: a repair keeps its own.
repair "$msi" START=demand
expect_installed "a repair given START=demand kept START=Auto" "$ZT_VERSION" "$product_code" 0x2 Auto
expect_unchanged "and the running service" "$before"

zt_require "msiexec /i of the installed package" zt_windows_tool msiexec /i "$msi" /qn START=Auto
expect_installed "installing the installed package again kept the installation" \
    "$ZT_VERSION" "$product_code" 0x2 Auto
expect_unchanged "and the running service" "$before"

# With its executable missing Wine's search finds no component (Windows' may find its folder), and
# the remembered START holds. Wine leaves a component whose condition fails in a repair as it is,
# so it keeps the start type even for a package that forgets START; what shows START here is the
# value the repair wrote back.
zt_deploy_stop
# The service's process holds its executable until it ends, just after it reports STOPPED.
zt_require_within "the installed executable deleted" 10 rm -f "$installed_exe"
rm "$(zt_c_file "$ZT_STANDIN_LOG")"
repair "$msi"
expect_installed "a repair put the missing executable back and kept START=Auto" \
    "$ZT_VERSION" "$product_code" 0x2 Auto
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
rm "$(zt_c_file "$ZT_STANDIN_LOG")"
repair "$msi"
expect_installed "a repair replaced a changed executable of the same size" \
    "$ZT_VERSION" "$product_code" 0x2 Auto
zt_deploy_running "and started the stopped START=auto service"

zt_deploy_stop
zt_finish
