# Sourced by the installer package's scenarios: sourcing it runs msi_begin, then they check the
# package with what is below. msiexec's exit codes reach Linux cut to 8 bits: 67 is 1603 (failure),
# 69 is 1605 (unknown product).
. "$(dirname "${BASH_SOURCE[0]}")/deploy-lib.sh"

# product_value CODE NAME: a value of the product's entry in Programs and Features.
product_value() {
    zt_args 'CODE NAME' "$@"
    zt_uninstall_entries "$1" /v "$2" | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}

# remembered_start: the START the package remembered, or nothing.
remembered_start() {
    zt_text zt_windows_tool reg query "$ZT_START_KEY" /v START 2>/dev/null |
        sed -n 's/^ *START *REG_SZ *//p'
}

# installed_as VERSION PRODUCT_CODE START_TYPE START: that product alone, the service with that
# start type, START remembered, the zip's executable installed; else what differs.
installed_as() {
    zt_args 'VERSION PRODUCT_CODE START_TYPE START' "$@"
    local found service
    service=$(zt_text zt_windows_tool reg query "$ZT_SERVICE_KEY" 2>/dev/null |
        sed -n 's/^ *\(Start\|Type\) *REG_DWORD */\1 /p' | sort | xargs)
    found="products: $(zt_installed_products | xargs); service: $service; START: $(remembered_start)"
    zt_same "products: $1 $2; service: Start $3 Type 0x10; START: $4" "$found" &&
        cmp "$ZT_PACKAGE_DIR/$ZT_SERVICE_EXE_NAME" "$installed_exe"
}

# expect_installed WHAT VERSION PRODUCT_CODE START_TYPE START: installed_as within 5 s: under Wine
# on a loaded machine one registry read in about ten runs has come back wrong, the next one right.
expect_installed() {
    zt_args --own-shell 'WHAT VERSION PRODUCT_CODE START_TYPE START' "$@"
    zt_require_within "$1" 5 installed_as "${@:2}"
}

# quote_image_path: Wine's msiexec registers the image path unquoted, spaces and all; as a step of
# the test environment (not of the package), it is written quoted, as Windows Installer writes it.
quote_image_path() {
    local path
    path=$(zt_deploy_image_path)
    [ "$path" = "$target" ] || { zt_same "${target//\"/}" "$path" &&
        zt_windows_tool reg add "$ZT_SERVICE_KEY" /v ImagePath /t REG_EXPAND_SZ /d "$target" /f; }
}

# boot: as a boot would, the service as Windows registers it, then zt_boot.
boot() {
    zt_args --own-shell '' "$@"
    if zt_on native "the image path as Windows Installer writes it, quoted"; then
        zt_require "the image path quoted" zt_same "$target" "$(zt_deploy_image_path)"
    else
        zt_require "Wine's unquoted image path written quoted" quote_image_path
    fi
    rm -f "$(zt_c_file "$ZT_STANDIN_LOG")"
    zt_require "a boot" zt_boot
}

# service_removed: the service, its registry key and its program gone.
service_removed() {
    zt_args '' "$@"
    zt_service_in ABSENT && ! zt_deploy_service_key_exists && zt_deploy_hosted_gone
}

# nothing_installed: no product, no START remembered, no START key.
nothing_installed() {
    zt_args '' "$@"
    zt_same "products: ; START: ; key: absent" "products: $(zt_installed_products | xargs); START: $(
        remembered_start); key: $(zt_windows_tool reg query "$ZT_START_KEY" >/dev/null 2>&1 &&
        echo present || echo absent)"
}

# rebuild NAME VERSION VARIABLE: a new build of VERSION, with codes of its own; its Windows path in
# VARIABLE, its product code in VARIABLE_code.
rebuild() {
    zt_args --own-shell 'NAME VERSION VARIABLE' "$@"
    local code
    zt_require "cpack of $1, version $2" zt_deploy_rebuild_msi "$2" "$ZT_DIR/$1"
    code=$(zt_deploy_product_code "$ZT_DIR/$1")
    zt_require "$1 has a product code of its own" new_code "$code"
    zt_require "and a package code of its own" new_code "$(zt_deploy_package_code "$ZT_DIR/$1")"
    printf -v "$3" '%s' "$(zt_windows_path "$ZT_DIR/$1")"
    printf -v "$3_code" '%s' "$code"
}

# new_code CODE: CODE is one, and none of the packages' so far, to which it is added.
new_code() {
    zt_args --own-shell 'CODE' "$@"
    echo "code '$1'; the earlier ones: $(xargs <<<"$codes_seen")"
    [ -n "$1" ] && ! grep -qixF "$1" <<<"$codes_seen" || return 1
    codes_seen+=$'\n'$1
}

# running_service: the running service's process id, its program's processes and starts.
running_service() {
    zt_args '' "$@"
    local pid=
    ! zt_driver service-pid wait RUNNING 5000 ||
        pid=$(zt_records field "$ZT_DIR/service-pid.log" pid event=status | tail -n 1)
    echo "service $pid; program $(zt_hosted_pids | xargs); starts $(
        zt_standin_starts 2>/dev/null | xargs)"
}

# repair PACKAGE [PROPERTY=VALUE...]: a repair, as msiexec /f does it (repair_command).
repair() {
    zt_args --own-shell 'PACKAGE [PROPERTY=VALUE...]' "$@"
    zt_require "$repair_how" repair_command "$@"
}

# expect_unchanged WHAT BEFORE: the running service is still BEFORE (running_service).
expect_unchanged() {
    zt_args 'WHAT BEFORE' "$@"
    zt_compare "$1" "$2" "$(running_service)"
}

# msi_begin: the packages, the machine without the harness's registration, and the repair: under
# Wine, whose msiexec /f takes a package for a product code (1605), what /f stands for.
msi_begin() {
    zt_args --own-shell '' "$@"
    zt_deploy_packages
    zt_deploy_begin
    msi=$(zt_windows_path "$ZT_MSI")
    installed_exe=$target_dir/$ZT_SERVICE_EXE_NAME
    product_code=$(zt_deploy_product_code "$ZT_MSI")
    codes_seen=$product_code$'\n'$(zt_deploy_package_code "$ZT_MSI")
    zt_require "a product and a package code in $ZT_MSI" test "$(grep -c . <<<"$codes_seen")" -eq 2
    if zt_on native "repairs with msiexec /f, which Wine's takes for a product code"; then
        repair_how="msiexec /fvomus"
        repair_command() { zt_windows_tool msiexec /fvomus "$1" /qn "${@:2}"; }
    else
        repair_how="msiexec /i REINSTALL=ALL"
        repair_command() { zt_windows_tool msiexec /i "$1" /qn REINSTALL=ALL REINSTALLMODE=vomus "${@:2}"; }
    fi
}

msi_begin
