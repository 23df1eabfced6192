#!/bin/bash
# needs: nothing
# Native mode's own code, run here on a made-up machine: Windows' programs are scripts in a fake
# SYSTEMROOT's System32 (sc, tasklist, taskkill, whoami, msiexec, reg, net) that record their
# calls, cygpath maps C:\ to a folder, and the platform's traps for bare names are first on the
# PATH. Checks the platform's choice, the skips, the machine check, the cleaning up before and
# after a scenario, the deployment helpers' packages and codes, that no Windows program was called
# without its path, and that the traps catch one that is.
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/lib.sh"
ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-native.XXXXXX")
zt_when_finished rm -rf "$ZT_DIR"

# The fakes below read the product's and the executable's names from the environment.
export ZT_FAKE=$ZT_DIR/machine ZT_PRODUCT ZT_SERVICE_EXE_NAME
system32=$ZT_FAKE/c/windows/System32
mkdir -p "$system32" "$ZT_FAKE/bin" "$ZT_FAKE/build/programs" "$ZT_FAKE/packages"
: >"$ZT_FAKE/calls"
: >"$ZT_FAKE/products"

# fake NAME: the bash script of standard input as $ZT_FAKE/NAME, executable.
fake() {
    { echo '#!/bin/bash' && cat; } >"$ZT_FAKE/$1"
    chmod +x "$ZT_FAKE/$1"
}
# windows_program NAME: a fake System32\NAME.exe that records its call in $ZT_FAKE/calls, then runs
# standard input.
windows_program() {
    { printf 'echo "%s $*" >>"$ZT_FAKE/calls"\n' "$1" && cat; } | fake "c/windows/System32/$1.exe"
}
# C:\ is $ZT_FAKE/c; Windows paths of other files are W: and the path.
fake bin/cygpath <<'END'
path=${*: -1}
case $1 in
-u) path=${path//\\//} && echo "$ZT_FAKE/c${path#C:}" ;;
-w) echo "W:${path//\//\\}" ;;
esac
END
# The service's state is in $ZT_FAKE/service, its start type in $ZT_FAKE/start-type; a stop leaves
# it $ZT_FAKE_STOPS_AS (STOPPED). With $ZT_FAKE/sc-error every command fails with that error.
windows_program sc <<'END'
state=$ZT_FAKE/service
[ ! -f "$ZT_FAKE/sc-error" ] || { printf '[SC] OpenService FAILED %s:\r\n\r\nAn error.\r\n' "$(cat "$ZT_FAKE/sc-error")"; exit 1; }
[ -f "$state" ] || [ "$1" = create ] || { echo "[SC] OpenService FAILED 1060:"; exit 36; }
case $1 in
query | queryex)
    printf '        STATE              : 4  %s\r\n' "$(cat "$state")"
    [ "$1" = query ] || printf '        PID                : 777\r\n'
    ;;
qc) printf '        START_TYPE         : %s\r\n' "$(cat "$ZT_FAKE/start-type" 2>/dev/null)" ;;
create) echo STOPPED >"$state" ;;
start) echo RUNNING >"$state" ;;
stop) echo "${ZT_FAKE_STOPS_AS:-STOPPED}" >"$state" ;;
delete) rm -f "$state" ;;
esac
END
# The running programs are "name id" lines of $ZT_FAKE/processes; the stand-ins (ids from 100 on)
# end once their quit file is there.
windows_program tasklist <<'END'
name=
[ "$1" != /fi ] || name=${2#IMAGENAME eq }
while read -r image pid; do
    [ -z "$name" ] || [ "${image,,}" = "${name,,}" ] || continue
    [ ! -e "$ZT_FAKE/c/zentorvik-standin.quit" ] || [ "$pid" -lt 100 ] || continue
    printf '"%s","%s","Services","0","1,234 K"\r\n' "$image" "$pid"
done <"$ZT_FAKE/processes"
END
# A service marked for deletion goes once its executable ends, unless $ZT_FAKE_HELD.
windows_program taskkill <<'END'
[ "$*" != "/f /pid 777" ] || echo STOPPED >"$ZT_FAKE/service"
[ "$*" != "/f /im $ZT_SERVICE_EXE_NAME" ] || [ -n "${ZT_FAKE_HELD-}" ] || rm -f "$ZT_FAKE/sc-error"
END
windows_program whoami <<'END'
[ "$*" = /groups ] && echo "Mandatory Label\High Mandatory Level Label S-1-16-${ZT_FAKE_INTEGRITY:-12288}"
END
# The installed products are "code version" lines of $ZT_FAKE/products, which reg lists in the
# 32-bit view of Programs and Features and msiexec /x removes.
windows_program reg <<'END'
[ "$1 $2 $3" = 'query HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall /s' ] ||
    exit 1
while read -r code version; do
    printf '%s\r\n' "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
        "    DisplayName    REG_SZ    $ZT_PRODUCT" "    DisplayVersion    REG_SZ    $version" ""
done <"$ZT_FAKE/products"
END
windows_program msiexec <<'END'
[ "$1" != /x ] || sed -i "/^$2 /d" "$ZT_FAKE/products"
END
windows_program net </dev/null
# native: sources lib.sh natively on the made-up machine, under the traps, then runs its arguments.
native() {
    env ZT_PLATFORM=native SYSTEMROOT='C:\windows' PATH="$ZT_FAKE/bin:$PATH" \
        bash -c '. "$1/lib.sh" && zt_native_traps "$ZT_FAKE/traps" && "${@:2}"' - "$here" "$@"
}
# in_order PATTERN...: the calls (stdin) have lines holding the patterns in this order.
in_order() {
    local line pattern=$1
    shift
    while read -r line; do
        [[ $line != *"$pattern"* ]] && continue
        [ $# -eq 0 ] && return 0
        pattern=$1
        shift
    done
    echo "no call with \"$pattern\" after the earlier ones"
    return 1
}

out=$(env ZT_PLATFORM=windows bash -c ". '$here/lib.sh'; echo sourced" 2>&1)
zt_compare "ZT_PLATFORM other than wine or native is refused" \
    '2:tests/e2e: ZT_PLATFORM is "windows"; it is wine (the default) or native' "$?:$out"
zt_compare "wine: the test programs go through Wine's loader; no Git Bash settings" \
    "wine $ZT_WINE none" "$(env -u ZT_PLATFORM -u MSYS_NO_PATHCONV bash -c ". '$here/lib.sh'
        echo \"\$ZT_PLATFORM \${ZT_RUN[*]} \${MSYS_NO_PATHCONV:-none}\"")"
zt_compare "native: the test programs run as they are, Git Bash converts no argument, C:\\ found" \
    "0 1 * $ZT_FAKE/c $system32" \
    "$(native eval 'echo "${#ZT_RUN[@]} $MSYS_NO_PATHCONV $MSYS2_ARG_CONV_EXCL $ZT_C $ZT_SYSTEM32"')"
out=$(env SYSTEMROOT= ZT_PLATFORM=native PATH="$ZT_FAKE/bin:$PATH" bash -c ". '$here/lib.sh'" 2>&1)
zt_compare "natively without SYSTEMROOT it stops, saying so" "2:tests/e2e: SYSTEMROOT is not set" "$?:$out"
zt_compare "natively a Wine-only check is skipped with its reason, a native one runs" \
    "  skip a reason (wine only)
skipped
ran" "$(native eval 'zt_on wine "a reason" || echo skipped; zt_on native "another reason" && echo ran')"
# Python as a Windows program: it says whether Git Bash would convert its path arguments.
fake bin/python <<'END'
echo "${MSYS_NO_PATHCONV-converts} ${MSYS2_ARG_CONV_EXCL-all} $*"
END
zt_compare "natively the reader's Python gets its path arguments converted, as a Windows program" \
    "converts all -S $here/records.py field /tmp/x.log pid" \
    "$(native env ZT_PYTHON=python bash -c '. "$0/lib.sh" && zt_records field /tmp/x.log pid' "$here")"
echo RUNNING >"$ZT_FAKE/service"
zt_compare "natively Windows' programs are System32's; zt_text drops their carriage returns" \
    "        STATE              : 4  RUNNING" "$(native zt_text zt_windows_tool sc query x)"

# What an earlier scenario left: its service running, two stand-ins (one a decoy), their log, the
# hosted program's file, an installed product and its folder. The scenario below starts another
# stand-in and a background program, and its service does not stop.
echo RUNNING >"$ZT_FAKE/service"
printf '%s\n' 'System 4' "$ZT_HOSTED_IMAGE 101" 'ZentorvikX.exe 102' >"$ZT_FAKE/processes"
printf 'pid=%s\timage=%s\tcommand=%s\n' 101 "$ZT_HOSTED_EXE" "\"$ZT_HOSTED_EXE\" $ZT_HOSTED_ARGS" \
    102 'C:\c\ZentorvikX.exe' '"C:\c\ZentorvikX.exe"' >"$ZT_FAKE/c/zentorvik-standin.log"
: >"$(ZT_C=$ZT_FAKE/c zt_c_file "$ZT_HOSTED_EXE")"
echo '{A1} 1.2.3' >"$ZT_FAKE/products"
installed=$(ZT_C=$ZT_FAKE/c zt_install_dir)
mkdir -p "$installed"
cp "$ZT_BUILD/contract.txt" "$ZT_FAKE/build/"
for program in "$ZT_SERVICE_EXE_NAME" programs/service-driver.exe programs/hosted-standin.exe; do
    echo "$program" >"$ZT_FAKE/build/$program"
done
scenario() {
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
        (cd "$ZT_C" && find . -type f -not -path './windows/System32/*' | sort | xargs)
    } >"$ZT_FAKE/begun"
    zt_install_standin
    echo "$ZT_HOSTED_IMAGE 103" >>"$ZT_FAKE/processes"
    printf 'pid=103\timage=%s\tcommand=%s\n' "$ZT_HOSTED_EXE" "\"$ZT_HOSTED_EXE\" $ZT_HOSTED_ARGS" \
        >"$ZT_C/zentorvik-standin.log"
    echo RUNNING >"$ZT_FAKE/service"
    export ZT_FAKE_STOPS_AS=STOP_PENDING
    sleep 300 &
    echo $! >"$ZT_FAKE/job"
}
export -f scenario
native env ZT_BUILD="$ZT_FAKE/build" bash -c '. "$0/lib.sh" && scenario' "$here" >"$ZT_FAKE/scenario.out" 2>&1
{
    read -r dir
    read -r service_exe driver scratch
    read -r tools
    read -r files
} <"$ZT_FAKE/begun"
zt_expect "before: the product left was uninstalled, then the service stopped and deleted, then registered anew" \
    in_order "msiexec /x {A1} /qn" "sc stop $ZT_SERVICE" "sc delete $ZT_SERVICE" "sc create $ZT_SERVICE" \
    <"$ZT_FAKE/calls"
zt_expect "before: the stand-ins were waited for once told to quit, and not killed" \
    in_order "sc delete" "tasklist /fo csv /nh" "sc create" <"$ZT_FAKE/calls"
zt_compare "before and after: the stand-ins ended, nothing to say" "" "$(cat "$ZT_FAKE/scenario.out")"
zt_must_fail "before: nothing killed" grep taskkill <(sed '/^--- scenario$/q' "$ZT_FAKE/calls")
zt_compare "before: the stand-in's files, the hosted program's and the installed folder are gone" \
    "" "$files"
windows_dir=W:${dir//\//\\}
zt_expect "the service registered from the scenario's folder, its path quoted" grep -xF \
    "sc create $ZT_SERVICE binPath= \"$windows_dir\\service\\$ZT_SERVICE_EXE_NAME\" type= own" \
    "$ZT_FAKE/calls"
zt_compare "the programs copied to the scenario's folder" \
    "$(printf '%s\n' "$ZT_SERVICE_EXE_NAME" hosted-standin.exe service-driver.exe | LC_ALL=C sort | xargs)" \
    "$tools"
zt_compare "the harness's paths in the scenario's folder" \
    "$windows_dir\\service\\$ZT_SERVICE_EXE_NAME $dir/service/service-driver.exe $windows_dir\\scratch" \
    "$service_exe $driver $scratch"
# ended PID: whether the process is gone, reaped by the shell that ended it.
ended() {
    ! kill -0 "$1" 2>/dev/null
}
zt_expect_within "after: the background program was ended" 5 ended "$(cat "$ZT_FAKE/job")"
zt_expect "after: the service that did not stop had its process ended by id, then was deleted" \
    in_order "--- scenario" "sc stop" "sc queryex" "taskkill /f /pid 777" "sc delete" <"$ZT_FAKE/calls"
zt_compare "after: only the service's process was killed" 1 "$(grep -c taskkill "$ZT_FAKE/calls")"
zt_expect "after: the service is gone" test ! -e "$ZT_FAKE/service"
zt_compare "after: the stand-in's files, the hosted program's, the installed folder and the scenario's folder are gone" \
    "0 " "$(find "$ZT_FAKE/c" -type f -not -path "$system32/*" | wc -l) $(
        ls -d "$dir" "$ZT_FAKE/c/Program Files (x86)"/* 2>/dev/null)"

# sc.exe's 1060 alone is a missing service and 1072 one marked for deletion, which the clean-up
# ends by its image names; one that stays fails the clean-up.
states=$(for error in 1060 1072 5; do echo "$error" >"$ZT_FAKE/sc-error" && native zt_service_state; done)
zt_compare "natively sc.exe's 1060 reads ABSENT, 1072 MARKED, another error as sc.exe says it" \
    $'ABSENT\nMARKED\nsc.exe query failed: [SC] OpenService FAILED 5: An error.' "$states"
remove_once() {
    zt_wait_for() {
        "${@:2}"
    }
    zt_native_remove_service
}
export -f remove_once
echo 1072 >"$ZT_FAKE/sc-error"
: >"$ZT_FAKE/calls"
zt_compare "a marked service: its executable and $ZT_HOSTED_IMAGE ended by name, then it is gone" \
    $'0\ntaskkill /f /im '"$ZT_SERVICE_EXE_NAME"$'\ntaskkill /f /im '"$ZT_HOSTED_IMAGE" \
    "$(native remove_once; echo $?; grep -v '^sc query' "$ZT_FAKE/calls")"
echo 1072 >"$ZT_FAKE/sc-error"
zt_expect "one that stays fails the clean-up, which says that Windows must restart" grep -qz \
    '(MARKED) with its programs ended: restart Windows.*status 1' \
    <<<"$(ZT_FAKE_HELD=1 native remove_once 2>&1; echo "status $?")"
rm "$ZT_FAKE/sc-error"

# ready: whether a machine may run the suite, by what it has of the suite's and the prompt's level;
# what stands in the way, also in $ZT_FAKE/ready.err.
ready() {
    native zt_native_machine_ready 2>"$ZT_FAKE/ready.err"
    local status=$?
    cat "$ZT_FAKE/ready.err"
    return "$status"
}
echo "System 4" >"$ZT_FAKE/processes"
zt_expect "a clean machine and an elevated prompt are ready" ready
ZT_FAKE_INTEGRITY=16384 zt_expect "a prompt of LocalSystem is ready" ready
ZT_FAKE_INTEGRITY=8192 zt_must_fail "a prompt without elevation is not" ready
echo STOPPED >"$ZT_FAKE/service"
: >"$(ZT_C=$ZT_FAKE/c zt_c_file "$ZT_HOSTED_EXE")"
mkdir -p "$installed"
echo '{A2} 1.2.3' >"$ZT_FAKE/products"
printf '%s\n' "ZENTORVIK.EXE 5" "ZentorvikX.exe 6" >>"$ZT_FAKE/processes"
zt_must_fail "a machine with the service, the program, its folder, the product or a $ZT_HOSTED_IMAGE is not" ready
zt_compare "and each is named" 5 "$(grep -c -e 'is registered' -e "$ZT_HOSTED_IMAGE is there" \
    -e "${ZT_INSTALL_DIR_WIN##*\\} is there" -e 'package is installed' -e 'is running' "$ZT_FAKE/ready.err")"
: >"$ZT_FAKE/calls"
out=$(native env ZT_BUILD="$ZT_FAKE/build" "$here/run-all" 00-checks 2>&1)
zt_compare "run-all refuses such a machine before any scenario" "1:0 passed, 1 failed" "$?:$(tail -n 1 <<<"$out")"
out=$(native env ZT_BUILD="$ZT_FAKE/none" "$here/run-all" 00-checks 2>&1)
zt_expect "run-all without the programs says so" grep "FAIL build: no programs in $ZT_FAKE/none" <<<"$out"
zt_must_fail "and neither run changed the machine" grep -E '^(sc (stop|delete|create)|msiexec)' "$ZT_FAKE/calls"

zip=$ZT_PACKAGE_NAME-1.2.3-win32.zip
msi=$ZT_PACKAGE_NAME-1.2.3-x86.msi
: >"$ZT_FAKE/packages/$zip"
echo msi >"$ZT_FAKE/packages/$msi"
echo newer >"$ZT_FAKE/packages/newer.msi"
printf 'file=%s\tproduct=%s\tpackage=%s\n' "$msi" '{A1}' '{A2}' \
    newer.msi '{B1}' '{B2}' >"$ZT_FAKE/packages/codes"
mkdir -p "$ZT_FAKE/work"
echo "2   AUTO_START" >"$ZT_FAKE/start-type"
deployed() {
    zt_deploy_packages >/dev/null
    echo "$ZT_VERSION $(basename "$ZT_ZIP") $(basename "$ZT_MSI")"
    zt_deploy_rebuild_msi 9.0.0 "$ZT_FAKE/work/newer.msi" && cat "$ZT_FAKE/work/newer.msi"
    echo "$(zt_deploy_product_code "$ZT_FAKE/work/newer.msi") $(zt_deploy_package_code "$ZT_FAKE/work/newer.msi")"
    zt_hosted_pids | xargs
    zt_windows_path /tmp/x
    zt_boot
    zt_service_state
}
export -f deployed
zt_compare "deployment: packages from ZT_PACKAGES, their codes from its list, processes from tasklist" \
    "1.2.3 $zip $msi
newer
{B1} {B2}
5
W:\\tmp\\x
RUNNING" "$(native env ZT_PACKAGES="$ZT_FAKE/packages" bash -c '. "$0/deploy-lib.sh" && deployed' "$here")"
zt_compare "and a boot starts the stopped service registered to start automatically" \
    "sc start $ZT_SERVICE" "$(grep '^sc start' "$ZT_FAKE/calls")"

zt_compare "no Windows program was called without its path" "" \
    "$(cat "$ZT_FAKE/traps/bare-calls" 2>/dev/null)"
trap_says=": called by a bare name; natively by its full path (zt_windows_tool)"
zt_compare "a bare name fails where it is called, through env and in a child shell too, saying so" \
    "$(printf "tests/e2e: %s$trap_says\n127\n" "whoami /groups" "sc.exe query x" "reg query")" \
    "$(native eval 'whoami /groups; echo $?; env sc.exe query x; echo $?' 2>&1
        native bash -c 'timeout 5 reg query; echo $?' 2>&1)"
zt_compare "and each call is in the traps' record" 3 "$(wc -l <"$ZT_FAKE/traps/bare-calls")"
zt_finish
