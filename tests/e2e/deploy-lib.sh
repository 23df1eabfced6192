# The packages' helpers, sourced by their scenarios, msi-lib.sh and build-packages.
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

# A 32-bit start goes through four emulated processes (service, cmd, start, the program).
ZT_START_SECONDS=60

# zt_deploy_packages: ZT_VERSION, ZT_ZIP and ZT_MSI, from $ZT_PACKAGES when given, else built.
zt_deploy_packages() {
    zt_args --own-shell '' "$@"
    local dir=${ZT_PACKAGES:-$ZT_BUILD}
    if [ -n "${ZT_PACKAGES:-}" ]; then
        ZT_VERSION=$(ls "$dir" | sed -n "s/^$ZT_PACKAGE_NAME-\(.*\)-win32\.zip\$/\1/p")
    else
        zt_require "the packages built" "$ZT_ROOT/scripts/build-windows" --no-setup package
        ZT_VERSION=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' \
            "$ZT_BUILD/CPackConfig.cmake")
    fi
    ZT_ZIP=$dir/$ZT_PACKAGE_NAME-$ZT_VERSION-win32.zip
    ZT_MSI=$dir/$ZT_PACKAGE_NAME-$ZT_VERSION-x86.msi
    zt_require "the zip and the MSI of version $ZT_VERSION" test -f "$ZT_ZIP" -a -f "$ZT_MSI"
}

# zt_deploy_rebuild_msi VERSION FILE: the MSI built again as VERSION, or FILE's from $ZT_PACKAGES.
zt_deploy_rebuild_msi() {
    zt_args 'VERSION FILE' "$@"
    if [ -n "${ZT_PACKAGES:-}" ]; then
        cp "$ZT_PACKAGES/$(basename "$2")" "$2"
        return
    fi
    local staging status=0
    staging=$(mktemp -d "${TMPDIR:-/tmp}/zt-cpack.XXXXXX")
    cpack --config "$ZT_BUILD/CPackConfig.cmake" -D CPACK_PACKAGE_VERSION="$1" \
        -D CPACK_ZT_MSI="$2" -B "$staging" >/dev/null || status=$?
    rm -rf "$staging"
    return "$status"
}

# zt_deploy_product_code FILE, zt_deploy_package_code FILE: the MSI's codes; from build-packages'
# $ZT_PACKAGES/codes when given, since Windows has no msiinfo.
zt_deploy_product_code() {
    zt_args 'FILE' "$@"
    if [ -n "${ZT_PACKAGES:-}" ]; then
        zt_records field "$ZT_PACKAGES/codes" product file="$(basename "$1")"
    else
        zt_text msiinfo export "$1" Property | sed -n 's/^ProductCode\t//p'
    fi
}

zt_deploy_package_code() {
    zt_args 'FILE' "$@"
    if [ -n "${ZT_PACKAGES:-}" ]; then
        zt_records field "$ZT_PACKAGES/codes" package file="$(basename "$1")"
    else
        msiinfo suminfo "$1" | sed -n 's/^Revision number (UUID): //p'
    fi
}

# zt_deploy_begin: zt_begin without the service, the stand-in in place, the zip in $ZT_PACKAGE_DIR;
# target_dir and target, the installed folder and image path (quoted).
zt_deploy_begin() {
    zt_args --own-shell '' "$@"
    zt_begin
    zt_require "the harness's registration removed" zt_windows_tool sc delete "$ZT_SERVICE"
    zt_install_standin
    zt_require "the zip unpacked" unzip -q "$ZT_ZIP" -d "$ZT_DIR"
    ZT_PACKAGE_DIR=$ZT_DIR/$ZT_PACKAGE_NAME-$ZT_VERSION-win32
    target_dir=$(zt_install_dir)
    target="\"$ZT_INSTALL_DIR_WIN\\$ZT_SERVICE_EXE_NAME\""
}

# zt_deploy_service_value NAME: the type and data of a value of the service's key, or nothing.
zt_deploy_service_value() {
    zt_args 'NAME' "$@"
    zt_text zt_windows_tool reg query "$ZT_SERVICE_KEY" /v "$1" 2>/dev/null |
        sed -n "s/^ *$1 *\(REG_[A-Z_]*\) *\(.*\)$/\1 \2/p"
}

# zt_deploy_image_path: the service's image path as registered (REG_EXPAND_SZ, or Wine's REG_SZ).
zt_deploy_image_path() {
    zt_args '' "$@"
    zt_deploy_service_value ImagePath | sed 's/^REG_[A-Z_]* //'
}

# zt_deploy_service_key_exists: whether the service's registry key is there.
zt_deploy_service_key_exists() {
    zt_args '' "$@"
    zt_windows_tool reg query "$ZT_SERVICE_KEY" >/dev/null 2>&1
}

# zt_deploy_hosted_started: whether the stand-in logged a start and a hosted program runs.
zt_deploy_hosted_started() {
    [ -s "$(zt_c_file "$ZT_STANDIN_LOG")" ] && [ -n "$(zt_hosted_pids)" ]
}

# zt_deploy_hosted_gone: whether no hosted program runs.
zt_deploy_hosted_gone() {
    zt_args '' "$@"
    [ -z "$(zt_hosted_pids)" ]
}

# zt_deploy_start: starts the service and requires it running, with its program's command line.
zt_deploy_start() {
    zt_args --own-shell '' "$@"
    rm -f "$(zt_c_file "$ZT_STANDIN_LOG")"
    zt_require "sc start" zt_windows_tool sc start "$ZT_SERVICE"
    zt_deploy_running "service running"
    zt_require "hosted program's command line" zt_hosted_command_line
}

# zt_deploy_running WHAT: requires the service running and its program started since the log went.
zt_deploy_running() {
    zt_args --own-shell 'WHAT' "$@"
    zt_require_within "$1" "$ZT_START_SECONDS" zt_service_in RUNNING
    zt_require_within "and its program with it" "$ZT_START_SECONDS" zt_deploy_hosted_started
}

# zt_deploy_stop: stops the service and requires it stopped and its program gone.
zt_deploy_stop() {
    zt_args --own-shell '' "$@"
    zt_require "sc stop" zt_windows_tool sc stop "$ZT_SERVICE"
    zt_require_within "service stopped" 30 zt_service_in STOPPED
    zt_require_within "hosted program terminated" 30 zt_deploy_hosted_gone
}
