#!/bin/bash
# Native mode's own code, run against stand-ins for the Windows commands it calls (sc, tasklist,
# taskkill, whoami, cygpath) on a made-up machine: the platform argument, the skips, the machine
# check, the cleaning up before and after a scenario, and the deployment helpers' native branches.
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/lib.sh"
ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-native.XXXXXX")
zt_when_finished rm -rf "$ZT_DIR"

export ZT_FAKE=$ZT_DIR/machine
mkdir -p "$ZT_FAKE/c/windows" "$ZT_FAKE/build/programs" "$ZT_FAKE/packages"
: >"$ZT_FAKE/calls"
# C:\ is $ZT_FAKE/c; Windows paths of other files are W: and the path.
cygpath() {
    local path=${*: -1}
    case $1 in
    -u) path=${path//\\//} && echo "$ZT_FAKE/c${path#C:}" ;;
    -w) echo "W:${path//\//\\}" ;;
    esac
}
# The service's state is in $ZT_FAKE/service; a stop leaves it $ZT_FAKE_STOPS_AS (STOPPED).
sc() {
    echo "sc $*" >>"$ZT_FAKE/calls"
    local state=$ZT_FAKE/service
    case $1 in
    query | queryex)
        [ -f "$state" ] || return 36 # 1060, cut to 8 bits
        printf '        STATE              : 4  %s\r\n' "$(cat "$state")"
        [ "$1" = query ] || printf '        PID                : 777\r\n'
        ;;
    create) echo STOPPED >"$state" ;;
    stop) echo "${ZT_FAKE_STOPS_AS:-STOPPED}" >"$state" ;;
    delete) rm -f "$state" ;;
    esac
}
# The running programs are "name id" lines of $ZT_FAKE/processes; the stand-ins (ids from 100 on)
# end once their quit file is there.
tasklist() {
    echo "tasklist $*" >>"$ZT_FAKE/calls"
    local name= image pid
    [ "$1" != /fi ] || name=${2#IMAGENAME eq }
    while read -r image pid; do
        [ -z "$name" ] || [ "${image,,}" = "${name,,}" ] || continue
        [ ! -e "$ZT_FAKE/c/zentorvik-standin.quit" ] || [ "$pid" -lt 100 ] || continue
        printf '"%s","%s","Services","0","1,234 K"\r\n' "$image" "$pid"
    done <"$ZT_FAKE/processes"
}
taskkill() {
    echo "taskkill $*" >>"$ZT_FAKE/calls"
    [ "$*" != "/f /pid 777" ] || echo STOPPED >"$ZT_FAKE/service"
}
# Git Bash's own whoami, ahead of Windows' on its PATH: a user name, and no /groups.
whoami() {
    [ $# -eq 0 ] || { echo "whoami: extra operand '$1'" >&2; return 1; }
    echo runner
}
export -f cygpath sc tasklist taskkill whoami
# in_order PATTERN...: the calls (stdin) have lines matching the patterns in this order.
in_order() {
    PATTERNS=$(printf '%s\n' "$@") awk '
        BEGIN { n = split(ENVIRON["PATTERNS"], pattern, "\n"); k = 1 }
        k <= n && index($0, pattern[k]) { k++ }
        END { exit k <= n }'
}

out=$(env ZT_PLATFORM=windows bash -c ". '$here/lib.sh'; echo sourced" 2>&1)
zt_expect "ZT_PLATFORM other than wine or native is refused" \
    test "$?:$out" = '2:tests/e2e: ZT_PLATFORM is "windows"; it is wine (the default) or native'
zt_expect "wine: programs go through Wine's loader; no Git Bash settings" test "$(
    env -u ZT_PLATFORM -u MSYS_NO_PATHCONV bash -c ". '$here/lib.sh'
        echo \"\$ZT_PLATFORM \${ZT_RUN[*]} \${MSYS_NO_PATHCONV:-none}\"")" = "wine $ZT_WINE none"
zt_expect "native: programs run directly, Git Bash converts no argument, C:\\ is found" test "$(
    ZT_PLATFORM=native bash -c ". '$here/lib.sh'
        echo \"\${#ZT_RUN[@]} \$MSYS_NO_PATHCONV \$MSYS2_ARG_CONV_EXCL \$ZT_C\"")" = "0 1 * $ZT_FAKE/c"
zt_expect "natively a Wine-only check is skipped with its reason, a native one runs" test "$(
    ZT_PLATFORM=native
    . "$here/lib.sh"
    zt_on wine "a reason" || echo skipped
    zt_on native "another reason" && echo ran)" = "  skip a reason (wine only)
skipped
ran"

# What an earlier scenario left: its service running, two stand-ins (one a decoy), their log and
# the hosted program's file. The scenario below starts another stand-in and a background program,
# and its service does not stop. As strict as the deployment scenarios (set -euo pipefail).
echo RUNNING >"$ZT_FAKE/service"
printf '%s\n' 'System 4' 'Zentorvik.exe 101' 'ZentorvikX.exe 102' >"$ZT_FAKE/processes"
printf 'pid=%s\timage=%s\tcommand=%s\n' 101 'C:\windows\Zentorvik.exe' '"c:\windows\Zentorvik.exe" -s' \
    102 'C:\c\ZentorvikX.exe' '"C:\c\ZentorvikX.exe"' >"$ZT_FAKE/c/zentorvik-standin.log"
: >"$ZT_FAKE/c/windows/Zentorvik.exe"
for program in OrveldenZentorvikTool.exe programs/service-driver.exe programs/hosted-standin.exe; do
    echo "$program" >"$ZT_FAKE/build/$program"
done
(
    set -euo pipefail
    ZT_PLATFORM=native ZT_BUILD=$ZT_FAKE/build
    . "$here/lib.sh"
    # One try each: the stand-ins here answer at once, and the hung service never would.
    zt_wait_for() {
        "${@:2}"
    }
    zt_begin
    echo "--- scenario" >>"$ZT_FAKE/calls"
    {
        echo "$ZT_DIR"
        echo "$ZT_SERVICE_EXE $ZT_DRIVER $ZT_SCRATCH_WIN"
        (cd "$ZT_TOOLS" && LC_ALL=C ls | xargs)
        (cd "$ZT_C" && find . -type f | sort | xargs)
    } >"$ZT_FAKE/begun"
    zt_install_standin
    echo "Zentorvik.exe 103" >>"$ZT_FAKE/processes"
    printf 'pid=103\timage=%s\tcommand=%s\n' 'C:\windows\Zentorvik.exe' '"c:\windows\Zentorvik.exe" -s' \
        >"$ZT_C/zentorvik-standin.log"
    echo RUNNING >"$ZT_FAKE/service"
    export ZT_FAKE_STOPS_AS=STOP_PENDING
    sleep 300 &
    echo $! >"$ZT_FAKE/job"
) >"$ZT_FAKE/scenario.out" 2>&1
{
    read -r dir
    read -r service_exe driver scratch
    read -r tools
    read -r files
} <"$ZT_FAKE/begun"
zt_expect "before: the service left running was stopped and deleted, then registered anew" \
    in_order "sc stop Orvelden Zentorvik Tool" "sc delete Orvelden Zentorvik Tool" \
    "sc create Orvelden Zentorvik Tool" <"$ZT_FAKE/calls"
zt_expect "before: the stand-ins were waited for once told to quit, and not killed" \
    in_order "sc delete" "tasklist /fo csv /nh" "sc create" <"$ZT_FAKE/calls"
zt_compare "before and after: the stand-ins ended, nothing to say" "" "$(cat "$ZT_FAKE/scenario.out")"
zt_must_fail "before: nothing killed" grep -q taskkill <(sed '/^--- scenario$/q' "$ZT_FAKE/calls")
zt_expect "before: the stand-in's files and the hosted program's are gone" test "$files" = ""
windows_dir=W:${dir//\//\\}
zt_expect "the service registered from the scenario's folder, its path quoted" grep -qxF \
    "sc create Orvelden Zentorvik Tool binPath= \"$windows_dir\\service\\OrveldenZentorvikTool.exe\" type= own" \
    "$ZT_FAKE/calls"
zt_expect "the programs copied to the scenario's folder" test "$tools" = \
    "OrveldenZentorvikTool.exe hosted-standin.exe service-driver.exe"
zt_expect "the harness's paths in the scenario's folder" test "$service_exe $driver $scratch" = \
    "$windows_dir\\service\\OrveldenZentorvikTool.exe $dir/service/service-driver.exe $windows_dir\\scratch"
zt_must_fail "after: the background program was ended" kill -0 "$(cat "$ZT_FAKE/job")" 2>/dev/null
zt_expect "after: the service that did not stop had its process ended by id, then was deleted" \
    in_order "--- scenario" "sc stop" "sc queryex" "taskkill /f /pid 777" "sc delete" <"$ZT_FAKE/calls"
zt_expect "after: only the service's process was killed" \
    test "$(grep -c taskkill "$ZT_FAKE/calls")" -eq 1
zt_expect "after: the service is gone" test ! -e "$ZT_FAKE/service"
zt_expect "after: the stand-in's files, the hosted program's and the scenario's folder are gone" \
    test "$(find "$ZT_FAKE/c" -type f | wc -l) $(ls -d "$dir" 2>/dev/null)" = "0 "

# ready: whether a machine may run the suite, by what it has of the suite's and the prompt's level.
ready() {
    (
        ZT_PLATFORM=native
        . "$here/lib.sh"
        zt_native_machine_ready
    ) 2>"$ZT_FAKE/ready.err"
}
# Windows' whoami, by its place in C:\.
mkdir -p "$ZT_FAKE/c/windows/system32"
cat >"$ZT_FAKE/c/windows/system32/whoami.exe" <<'EOF'
#!/bin/sh
[ "$*" = /groups ] && echo "Mandatory Label\High Mandatory Level Label S-1-16-${ZT_FAKE_INTEGRITY:-12288}"
EOF
chmod +x "$ZT_FAKE/c/windows/system32/whoami.exe"
echo "System 4" >"$ZT_FAKE/processes"
zt_expect "a clean machine and an elevated prompt are ready" ready
ZT_FAKE_INTEGRITY=16384 zt_expect "a prompt of LocalSystem is ready" ready
ZT_FAKE_INTEGRITY=8192 zt_must_fail "a prompt without elevation is not" ready
echo STOPPED >"$ZT_FAKE/service"
: >"$ZT_FAKE/c/windows/Zentorvik.exe"
mkdir -p "$ZT_FAKE/c/Program Files (x86)/Orvelden Zentorvik Tool"
printf '%s\n' "ZENTORVIK.EXE 5" "ZentorvikX.exe 6" >>"$ZT_FAKE/processes"
zt_must_fail "a machine with the service, the program, its folder or a Zentorvik.exe is not" ready
zt_expect "and each is named" test "$(grep -c -e 'is registered' -e 'Zentorvik.exe is there' \
    -e 'Orvelden Zentorvik Tool is there' -e 'is running' "$ZT_FAKE/ready.err")" -eq 4
: >"$ZT_FAKE/calls"
out=$(ZT_PLATFORM=native ZT_BUILD=$ZT_FAKE/build "$here/run-all" 00-checks 2>&1)
zt_expect "run-all refuses such a machine before any scenario" \
    test "$?:$(tail -n 1 <<<"$out")" = "1:0 passed, 1 failed"
out=$(ZT_PLATFORM=native ZT_BUILD=$ZT_FAKE/none "$here/run-all" 00-checks 2>&1)
zt_expect "run-all without the programs says so" grep -q "FAIL build: no programs in $ZT_FAKE/none" <<<"$out"
zt_must_fail "and neither run changed the service" grep -qE '^sc (stop|delete|create)' "$ZT_FAKE/calls"

: >"$ZT_FAKE/packages/OrveldenZentorvikTool-1.2.3-win32.zip"
echo msi >"$ZT_FAKE/packages/OrveldenZentorvikTool-1.2.3-x86.msi"
echo newer >"$ZT_FAKE/packages/newer.msi"
printf '%s\n' "OrveldenZentorvikTool-1.2.3-x86.msi {A1} {A2}" "newer.msi {B1} {B2}" >"$ZT_FAKE/packages/codes"
mkdir -p "$ZT_FAKE/work" "$ZT_FAKE/c/tools"
# Windows' msiexec, which the deployment helpers run by its full path.
cat >"$ZT_FAKE/c/windows/system32/msiexec.exe" <<'EOF'
#!/bin/sh
printf 'msiexec %s\n' "$*" >>"$ZT_FAKE/calls"
EOF
chmod +x "$ZT_FAKE/c/windows/system32/msiexec.exe"
printf '#!/bin/sh\nprintf "%%s\\n" "$*"\n' >"$ZT_FAKE/c/tools/echo.exe"
chmod +x "$ZT_FAKE/c/tools/echo.exe"
deployed=$(
    ZT_PLATFORM=native ZT_PACKAGES=$ZT_FAKE/packages
    . "$here/deploy-lib.sh"
    build_packages
    echo "$VERSION $(basename "$ZIP") $(basename "$MSI")"
    rebuild_msi 9.0.0 "$ZT_FAKE/work/newer.msi" && cat "$ZT_FAKE/work/newer.msi"
    echo "$(msi_product_code "$ZT_FAKE/work/newer.msi") $(msi_package_code "$ZT_FAKE/work/newer.msi")"
    hosted_pids | xargs
    wine 'C:\tools\echo.exe' /dir 'C:\a b'
    winpath /tmp/x
    # What a deployment scenario leaves: its packages' products, the service, the installed folder.
    WORK=$ZT_FAKE/work
    echo RUNNING >"$ZT_FAKE/service"
    : >"$ZT_FAKE/calls"
    remove_installed
)
zt_expect "deployment: packages from ZT_PACKAGES, processes from tasklist, a program run by its path" \
    test "$deployed" = "1.2.3 OrveldenZentorvikTool-1.2.3-win32.zip OrveldenZentorvikTool-1.2.3-x86.msi
newer
{B1} {B2}
5
/dir C:\\a b
W:\\tmp\\x"
zt_expect "after a deployment scenario: its products uninstalled, then the service deleted" \
    in_order "msiexec /x W:${ZT_FAKE//\//\\}\\packages\\OrveldenZentorvikTool-1.2.3-x86.msi /qn" \
    "msiexec /x W:${ZT_FAKE//\//\\}\\work\\newer.msi /qn" "sc stop" "sc delete" <"$ZT_FAKE/calls"
zt_expect "and the installed folder removed" test ! -e "$ZT_FAKE/c/Program Files (x86)/Orvelden Zentorvik Tool"
zt_finish
