#!/usr/bin/env bash
# Builds the Windows installer (target msi of the Windows build) and tries it as a fleet's
# deployment would, under Wine's msiexec in a Wine prefix of its own:
#   - its tables hold the expected files, values, properties, custom actions and sequence;
#   - the task definition it installs has the triggers and settings a fleet needs (Wine keeps a
#     registered task but runs no trigger, and drops most of it from its own copy);
#   - a silent install with WSURL and RECEIVERURL puts both programs in Program Files, the values
#     in HKLM and the task in Wine's task store;
#   - the installed vintorw.exe, with no settings of the user's own, harvests sample logs against
#     the Linux reference service through those values;
#   - a newer package upgrades in place without the properties given again, an older one is
#     refused with its message;
#   - a silent removal takes the program, the task and the values, and leaves the user's own.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
qt=$(bash scripts/qt-mingw.sh)
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target refservice >/dev/null
cmake --preset windows -DQT_MINGW_PREFIX="$qt" >/dev/null
cmake --build --preset windows -j"$(nproc)" --target msi logwriter >/dev/null
version=$(sed -n 's/^project(vintor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi=$repo/build-windows/vintor-$version-x64.msi
bin=$repo/build-windows/bin

fail() { echo "msi.sh: $*" >&2; exit 1; }

# The tables. Registry root 2 is HKLM; custom action type 3122 runs the executable that a
# property names (50) deferred (1024), not impersonated (2048); 3186 also ignores its exit code.
has_row() { msiinfo export "$msi" "$1" | tr -d '\r' | grep -qP "$2" || fail "no row /$2/ in table $1 of $msi"; }
sequence() { msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
has_row File '^vintor\.exe\tProgram\t([^\t]*\|)?vintor\.exe\t'
has_row File '^vintorw\.exe\tProgramWithoutConsole\t([^\t]*\|)?vintorw\.exe\t'
has_row File '^vintor_task\.xml\tTaskDefinition\t([^\t]*\|)?vintor-task\.xml\t'
key='Software\\KALDO Technologies\\Zadazevi Rerevarazu'
has_row Registry "^\\w+\\t2\\t$key\\twsUrl\\t\\[WSURL\\]\\tWsUrl\$"
has_row Registry "^\\w+\\t2\\t$key\\treceiverUrl\\t\\[RECEIVERURL\\]\\tReceiverUrl\$"
has_row Registry "^\\w+\\t2\\t$key\\tDO_NOT_RUN_VINTOR\\t\\[DONOTRUN\\]\\tDoNotRun\$"
has_row Component '^WsUrl\t.*\tWSURL\t'
has_row Component '^ReceiverUrl\t.*\tRECEIVERURL\t'
has_row Component '^DoNotRun\t.*\tDONOTRUN\t'
has_row Property "^ProductVersion\\t${version//./\\.}\$"
has_row Property '^UpgradeCode\t\{8f3c2a71-5d4e-4b6a-9c1f-2e7d8a9b0c43\}$'
has_row Property '^ALLUSERS\t1$'
has_row CustomAction '^RegisterTask\t3122\tSCHTASKS\t/Create /F /TN "KALDO Technologies\\Vintor" /XML "\[INSTALLDIR\]vintor-task\.xml"'
has_row CustomAction '^DeleteTask\t3186\tSCHTASKS\t/Delete /F /TN "KALDO Technologies\\Vintor"'
has_row CustomAction '^KeepWsUrl\t51\tWSURL\t\[OLDWSURL\]'
has_row LaunchCondition '^NOT WIX_DOWNGRADE_DETECTED\tA newer version of Vintor is already installed\.$'
[ "$(sequence InstallValidate)" -lt "$(sequence RemoveExistingProducts)" ] &&
    [ "$(sequence RemoveExistingProducts)" -lt "$(sequence InstallInitialize)" ] ||
    fail "an older version is not removed before the newer one goes in"
[ "$(sequence InstallFiles)" -lt "$(sequence RegisterTask)" ] &&
    [ "$(sequence WriteRegistryValues)" -lt "$(sequence RegisterTask)" ] ||
    fail "the task is registered before the files are in place"
[ "$(sequence DeleteTask)" -lt "$(sequence RemoveFiles)" ] || fail "the task is deleted after its files"
echo "msi: tables checked"

work=$(mktemp -d)
export WINEPREFIX=$work/wine
source scripts/wine-prefix.sh
service=""
trap '[ -z "$service" ] || kill $service 2>/dev/null; wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
program="$WINEPREFIX/drive_c/Program Files/KALDO Technologies"
task="$WINEPREFIX/drive_c/windows/system32/tasks/KALDO Technologies/Vintor"
machine_key='HKLM\Software\KALDO Technologies\Zadazevi Rerevarazu'
machine_value() { wine reg query "$machine_key" /v "$1" </dev/null 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { print $3 }'; }
entries() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null | tr -d '\r' | grep -cP '^\s+DisplayName\s+REG_SZ\s+Vintor$' || true; }
msiexec() { wine msiexec "$@" /qn /l*v "$(windows_path "$work/msiexec.log")" </dev/null >/dev/null 2>&1; }
# The prefix goes with the script: show the end of msiexec's log before failing.
fail_with_log() { tail -n 30 "$work/msiexec.log" >&2; fail "$1"; }

# The task definition as installed: the text at a path of element names.
task_text() {
    local xpath=""
    for name in "$@"; do xpath+="/*[local-name()='$name']"; done
    xmllint --xpath "string($xpath)" "$program/vintor-task.xml"
}
task_is() {
    local want=$1
    shift
    [ "$(task_text Task "$@")" = "$want" ] || fail "the task's $* is '$(task_text Task "$@")', not '$want'"
}

# Wine's Task Scheduler service: its first start after wineboot may time out or find the service
# database locked.
for _ in $(seq 30); do
    wine net start schedule 2>&1 </dev/null | grep -qE "started successfully|already running" && break
    sleep 1
done

# The reference service on loopback, as the maker's service would be.
mkdir -p "$work/received" "$work/temp"
printf 'default Details 86400\n' > "$work/policy"
"$repo/build/bin/refservice" --policy "$work/policy" --receive-dir "$work/received" > "$work/service.out" &
service=$!
for _ in $(seq 100); do grep -q "listening on port" "$work/service.out" 2>/dev/null && break; sleep 0.05; done
port=$(awk '/listening on port/ {print $4}' "$work/service.out")
wsurl=http://127.0.0.1:$port/usagetracking/veri.asmx
receiverurl=http://127.0.0.1:$port/usagetracking/post.track

msiexec /i "$(windows_path "$msi")" WSURL="$wsurl" RECEIVERURL="$receiverurl" || fail_with_log "the install failed"
for exe in vintor.exe vintorw.exe; do
    cmp -s "$bin/$exe" "$program/$exe" || fail "$exe is not in Program Files"
done
[ "$(machine_value wsUrl)" = "$wsurl" ] && [ "$(machine_value receiverUrl)" = "$receiverurl" ] ||
    fail "the service addresses are not in HKLM"
if wine reg query "$machine_key" /v DO_NOT_RUN_VINTOR </dev/null >/dev/null 2>&1; then
    fail "DO_NOT_RUN_VINTOR written without DONOTRUN"
fi
[ -f "$task" ] || fail "the task is not registered"
[ "$(entries)" = 1 ] || fail "the program is not listed once"
echo "msi: installed"

[ "$(head -c 2 "$program/vintor-task.xml" | od -An -tx1 | tr -d ' ')" = fffe ] || fail "the task definition is not UTF-16"
task_is PT15M Triggers LogonTrigger Delay
task_is PT1H Triggers CalendarTrigger RandomDelay
task_is 1 Triggers CalendarTrigger ScheduleByDay DaysInterval
task_is S-1-5-32-545 Principals Principal GroupId
task_is LeastPrivilege Principals Principal RunLevel
task_is IgnoreNew Settings MultipleInstancesPolicy
task_is true Settings StartWhenAvailable
task_is 7 Settings Priority
task_is '"%ProgramFiles%\KALDO Technologies\vintor.exe"' Actions Exec Command
task_is -forKALDO Actions Exec Arguments
echo "msi: task definition checked"

# The installed program, with no settings of the user's own, follows the machine's values.
export WINETEMP
WINETEMP=$(windows_path "$work/temp")
logs="$work/temp/KALDO Technologies/Zadazevi Rerevarazu Logs"
wine "$repo/build-windows/bin/logwriter.exe" --sessions 3 </dev/null >/dev/null 2>&1 || fail "the log writer failed"
wine 'C:\Program Files\KALDO Technologies\vintorw.exe' -forKALDO </dev/null >"$work/run.out" 2>&1 ||
    fail "the installed vintorw.exe failed: $(cat "$work/run.out")"
[ ! -s "$work/run.out" ] || fail "vintorw.exe printed: $(cat "$work/run.out")"
[ "$(find "$work/received" -type f | wc -l)" = 1 ] || fail "the receiver got $(find "$work/received" -type f | wc -l) logs"
[ -z "$(find "$logs" -maxdepth 1 -type f)" ] || fail "the run left logs behind"
echo "msi: the installed vintorw.exe harvested through the machine's values"

# A newer build over it, without the properties: one program, the new file, the values kept.
newer_version=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }')
mkdir "$work/newer"
for exe in vintor.exe vintorw.exe; do
    cp "$bin/$exe" "$work/newer/$exe"
    printf 'a newer build' >> "$work/newer/$exe"
done
bash packaging/windows/build-msi.sh "$work/newer" "$newer_version" "$work/newer.msi"
msiexec /i "$(windows_path "$work/newer.msi")" || fail_with_log "the upgrade failed"
cmp -s "$work/newer/vintorw.exe" "$program/vintorw.exe" || fail "the upgrade left the older vintorw.exe"
[ "$(entries)" = 1 ] || fail "after the upgrade the program is listed $(entries) times"
[ "$(machine_value wsUrl)" = "$wsurl" ] && [ "$(machine_value receiverUrl)" = "$receiverurl" ] ||
    fail "the upgrade lost the service addresses"
[ -f "$task" ] || fail "the upgrade lost the task"
echo "msi: $newer_version upgraded $version in place"

# The older package over the newer one stops at its launch condition (whose message, checked in
# the tables above, a silent install under Wine does not log) and changes nothing.
if msiexec /i "$(windows_path "$msi")"; then fail "the older package went in over the newer one"; fi
grep -aq "WIX_DOWNGRADE_DETECTED = {" "$work/msiexec.log" || fail "the refusal was not for the newer version"
cmp -s "$work/newer/vintor.exe" "$program/vintor.exe" || fail "the refused package changed vintor.exe"
echo "msi: $version refused over $newer_version"

# Removal: the program, the task and the machine's values go; the user's own settings and logs stay.
wine reg add 'HKCU\Software\KALDO Technologies\Zadazevi Rerevarazu' /v wsUrl /d http://user.example/ /f \
    </dev/null >/dev/null 2>&1
msiexec /x "$(windows_path "$work/newer.msi")" || fail_with_log "the removal failed"
[ -z "$(ls -A "$program" 2>/dev/null)" ] || fail "the removal left $(ls "$program")"
[ ! -e "$task" ] || fail "the removal left the task"
[ -z "$(machine_value wsUrl)$(machine_value receiverUrl)" ] || fail "the removal left the machine's values"
[ "$(entries)" = 0 ] || fail "the removal left the program listed"
wine reg query 'HKCU\Software\KALDO Technologies\Zadazevi Rerevarazu' /v wsUrl </dev/null 2>/dev/null |
    grep -q user.example || fail "the removal took the user's own settings"
[ -d "$logs" ] || fail "the removal took the user's log folder"
echo "msi: removed"
