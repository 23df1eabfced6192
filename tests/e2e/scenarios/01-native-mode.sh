#!/bin/bash
# needs: nothing
# Native mode's own code on a made-up machine, where Windows' programs are scripts in a fake
# System32 (so a call without the path fails): how sc.exe's failures read, the cleaning up around a
# scenario and of a service marked for deletion, and the look at the machine before the suite.
here=$(cd "$(dirname "$0")/.." && pwd)
. "$here/lib.sh"
ZT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/zt-native.XXXXXX")
zt_when_finished rm -rf "$ZT_DIR"

export ZT_FAKE=$ZT_DIR/machine ZT_PRODUCT ZT_SERVICE_EXE_NAME
system32=$ZT_FAKE/c/windows/System32
mkdir -p "$system32" "$ZT_FAKE/bin" "$ZT_FAKE/build/programs"
: >"$ZT_FAKE/calls"
: >"$ZT_FAKE/products"

# fake FILE [LINE]: the bash script of LINE and standard input as $ZT_FAKE/FILE, executable.
fake() {
    { printf '#!/bin/bash\n%s\n' "${2-}" && cat; } >"$ZT_FAKE/$1" && chmod +x "$ZT_FAKE/$1"
}
# windows_program NAME: a fake System32\NAME.exe that records its call in $ZT_FAKE/calls.
windows_program() {
    fake "c/windows/System32/$1.exe" "echo \"$1 \$*\" >>\"\$ZT_FAKE/calls\""
}
# C:\ is $ZT_FAKE/c; Windows paths of other files are W: and the path.
fake bin/cygpath <<'END'
path=${*: -1}
case $1 in
-u) path=${path//\\//} && echo "$ZT_FAKE/c${path#C:}" ;;
-w) echo "W:${path//\//\\}" ;;
esac
END
# The service's state is in $ZT_FAKE/service; a stop leaves it $ZT_FAKE_STOPS_AS (STOPPED). With
# $ZT_FAKE/sc-error every command fails with that error.
windows_program sc <<'END'
state=$ZT_FAKE/service
[ ! -f "$ZT_FAKE/sc-error" ] || { printf '[SC] OpenService FAILED %s:\r\n\r\nAn error.\r\n' "$(cat "$ZT_FAKE/sc-error")"; exit 1; }
[ -f "$state" ] || [ "$1" = create ] || { echo "[SC] OpenService FAILED 1060:"; exit 36; }
case $1 in
query | queryex)
    printf '        STATE              : 4  %s\r\n' "$(cat "$state")"
    [ "$1" = query ] || printf '        PID                : 777\r\n'
    ;;
create) echo STOPPED >"$state" ;;
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
[ "$1 $2 $3" = 'query HKLM\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\Uninstall /s' ] || exit 1
while read -r code version; do
    printf '%s\r\n' "HKEY_LOCAL_MACHINE\\Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$code" \
        "    DisplayName    REG_SZ    $ZT_PRODUCT" "    DisplayVersion    REG_SZ    $version" ""
done <"$ZT_FAKE/products"
END
windows_program msiexec <<'END'
[ "$1" != /x ] || sed -i "/^$2 /d" "$ZT_FAKE/products"
END
# native: sources lib.sh natively on the made-up machine, then runs its arguments; zt_wait_for
# tries once, since the fakes answer at once and a hung service never would.
native() {
    env ZT_PLATFORM=native SYSTEMROOT='C:\windows' PATH="$ZT_FAKE/bin:$PATH" \
        bash -c '. "$1/lib.sh" && zt_wait_for() { "${@:2}"; } && "${@:2}"' - "$here" "$@"
}
# in_order PATTERN...: the recorded calls hold the patterns (basic regular expressions) in order.
in_order() {
    local IFS=$'\a' patterns
    patterns="$*"
    grep -qz -e "${patterns//$'\a'/.*}" "$ZT_FAKE/calls"
}

# sc.exe's 1060 alone is a missing service and 1072 one marked for deletion, which the clean-up
# ends by its image names; one that stays fails the clean-up.
states=$(for error in 1060 1072 5; do echo "$error" >"$ZT_FAKE/sc-error" && native zt_service_state; done)
zt_compare "sc.exe's 1060 reads ABSENT, 1072 MARKED, another error as sc.exe says it" \
    $'ABSENT\nMARKED\nsc.exe query failed: [SC] OpenService FAILED 5: An error.' "$states"
echo 1072 >"$ZT_FAKE/sc-error"
: >"$ZT_FAKE/calls"
zt_compare "a marked service: its executable and $ZT_HOSTED_IMAGE ended by name, then it is gone" \
    $'0\ntaskkill /f /im '"$ZT_SERVICE_EXE_NAME"$'\ntaskkill /f /im '"$ZT_HOSTED_IMAGE" \
    "$(native zt_native_remove_service; echo $?; grep -v '^sc query' "$ZT_FAKE/calls")"
echo 1072 >"$ZT_FAKE/sc-error"
zt_expect "one that stays fails the clean-up, which says that Windows must restart" grep -qz \
    '(MARKED) with its programs ended: restart Windows.*status 1' \
    <<<"$(ZT_FAKE_HELD=1 native zt_native_remove_service 2>&1; echo "status $?")"
rm "$ZT_FAKE/sc-error"
: >"$ZT_FAKE/calls"

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
    zt_begin
    echo "--- scenario" >>"$ZT_FAKE/calls"
    echo "$ZT_DIR" >"$ZT_FAKE/dir"
    (cd "$ZT_C" && find . -type f -not -path './windows/System32/*') >"$ZT_FAKE/files"
    zt_install_standin
    echo "$ZT_HOSTED_IMAGE 103" >>"$ZT_FAKE/processes"
    printf 'pid=103\timage=%s\tcommand=%s\n' "$ZT_HOSTED_EXE" "\"$ZT_HOSTED_EXE\" $ZT_HOSTED_ARGS" \
        >"$(zt_c_file "$ZT_STANDIN_LOG")"
    echo RUNNING >"$ZT_FAKE/service"
    export ZT_FAKE_STOPS_AS=STOP_PENDING
    sleep 300 &
    echo $! >"$ZT_FAKE/job"
}
export -f scenario
ZT_BUILD=$ZT_FAKE/build native scenario >"$ZT_FAKE/scenario.out" 2>&1
dir=$(cat "$ZT_FAKE/dir")
zt_expect "before: the product left uninstalled, the service stopped and deleted, the stand-ins waited for, then the service registered anew" \
    in_order "msiexec /x {A1} /qn" "sc stop $ZT_SERVICE" "sc delete $ZT_SERVICE" "tasklist /fo csv /nh" \
    "sc create $ZT_SERVICE"
zt_compare "before and after: the stand-ins ended, nothing to say" "" "$(cat "$ZT_FAKE/scenario.out")"
zt_compare "before: the stand-in's files, the hosted program's and the installed folder are gone" \
    "" "$(cat "$ZT_FAKE/files")"
zt_expect "the service registered from the scenario's folder, its path quoted" grep -xF \
    "sc create $ZT_SERVICE binPath= \"W:${dir//\//\\}\\service\\$ZT_SERVICE_EXE_NAME\" type= own" \
    "$ZT_FAKE/calls"
# Gone, reaped by the shell that ended it.
zt_expect_within "after: the background program was ended" 5 eval "! kill -0 $(cat "$ZT_FAKE/job")"
zt_expect "after: the service that did not stop had its process ended by id, then was deleted" \
    in_order "--- scenario" "sc stop" "sc queryex" "taskkill /f /pid 777" "sc delete"
zt_compare "before and after: nothing killed but that process" 1 "$(grep -c taskkill "$ZT_FAKE/calls")"
zt_compare "after: the service, the stand-in's files, the hosted program's, the installed folder and the scenario's folder are gone" \
    "0 " "$(find "$ZT_FAKE/c" -type f -not -path "$system32/*" | wc -l) $(
        ls -d "$ZT_FAKE/service" "$dir" "$ZT_FAKE/c/Program Files (x86)"/* 2>/dev/null)"

echo "System 4" >"$ZT_FAKE/processes"
zt_expect "a clean machine and an elevated prompt are ready" native zt_native_machine_ready
echo STOPPED >"$ZT_FAKE/service"
: >"$(ZT_C=$ZT_FAKE/c zt_c_file "$ZT_HOSTED_EXE")"
mkdir -p "$installed"
echo '{A2} 1.2.3' >"$ZT_FAKE/products"
printf '%s\n' "ZENTORVIK.EXE 5" "ZentorvikX.exe 6" >>"$ZT_FAKE/processes"
export ZT_FAKE_INTEGRITY=8192
out=$(native zt_native_machine_ready 2>&1)
zt_compare "a machine with the service, the program, its folder, the product or a $ZT_HOSTED_IMAGE, or a prompt without elevation, is not, naming each" \
    "1 6" "$? $(grep -c -e 'not elevated' -e 'is registered' -e "$ZT_HOSTED_IMAGE is there" \
    -e "${ZT_INSTALL_DIR_WIN##*\\} is there" -e 'package is installed' -e 'is running' <<<"$out")"
: >"$ZT_FAKE/calls"
out=$(native env ZT_BUILD="$ZT_FAKE/build" "$here/run-all" 00-checks 2>&1)
zt_compare "run-all refuses such a machine before any scenario" "1:0 passed, 1 failed" "$?:$(tail -n 1 <<<"$out")"
zt_must_fail "and changes nothing on it" grep -E '^(sc (stop|delete|create)|msiexec)' "$ZT_FAKE/calls"
zt_finish
