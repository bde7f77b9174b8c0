#!/usr/bin/env bash
# Builds the Windows installer (target msi of the Windows build), signed with a throwaway
# certificate, and tries it as a fleet's deployment would, under Wine's msiexec in a Wine prefix
# of its own:
#   - the package and both programs in it pass osslsigncode's verification against the
#     throwaway CA, and fail it once a byte is changed; without the signing variables the build
#     says in one line that it is not signed;
#   - its tables hold the expected files, values, properties, custom actions, upgrade rows and
#     sequence;
#   - the task definition it installs has the triggers and settings a fleet needs (Wine keeps a
#     registered task but runs no trigger, and drops most of it from its own copy);
#   - a silent install with WSURL, RECEIVERURL and an INSTALLDIR (which the package does not
#     follow) puts both programs in Program Files, the values and the event source in HKLM and
#     the task in Wine's task store;
#   - the installed vintorw.exe, with no settings of the user's own, harvests sample logs against
#     the Linux reference service through those values, and prints nothing;
#   - the Group Policy template is well-formed, its policies and texts match, and the values it
#     writes (applied as Group Policy would, with reg add) steer a run: the addresses are taken,
#     the stop key stops it, and disabling it lets the next run go;
#   - a rebuild of the same version and a newer version each upgrade in place without the
#     properties given again, an older one is refused with its message;
#   - an installation that fails after registering the task takes the task back, an upgrade that
#     fails leaves the task it found;
#   - NOTASK=0 registers the task, an upgrade to NOTASK=1 deletes it and one back to 0
#     registers it again;
#   - with NOTASK=1 the definition is installed and no task registered, and the removal leaves a
#     task that Group Policy put there;
#   - a silent removal takes the programs, the event source, the task and the values, and leaves
#     the user's own.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
qt=$(bash scripts/qt-mingw.sh)
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" --target refservice >/dev/null
cmake --preset windows -DQT_MINGW_PREFIX="$qt" >/dev/null
cmake --build --preset windows -j"$(nproc)" --target vintor vintorw logwriter >/dev/null
version=$(sed -n 's/^project(vintor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi=$repo/build-windows/vintor-$version-x64.msi
bin=$repo/build-windows/bin
work=$(mktemp -d)
service=""
trap '[ -z "$service" ] || kill $service 2>/dev/null; wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

fail() { echo "msi.sh: $*" >&2; exit 1; }

# Signing with a throwaway CA and a code-signing certificate it issued.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Vintor test CA" -keyout "$work/ca.key" \
    -out "$work/ca.pem" -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/O=KALDO Technologies/CN=KALDO Technologies test signing" \
    -keyout "$work/sign.key" -out "$work/sign.csr" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > "$work/sign.ext"
openssl x509 -req -days 2 -in "$work/sign.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
    -extfile "$work/sign.ext" -out "$work/sign.pem" 2>/dev/null
VINTOR_SIGN_CERT=$work/sign.pem VINTOR_SIGN_KEY=$work/sign.key cmake --build --preset windows --target msi >/dev/null
verify() { osslsigncode verify -CAfile "$work/ca.pem" -in "$1" >/dev/null 2>&1; }
msiextract -C "$work/extracted" "$msi" >/dev/null
signed="$work/extracted/KALDO Technologies"
for file in "$msi" "$signed/vintor.exe" "$signed/vintorw.exe"; do
    verify "$file" || fail "$(basename "$file") does not pass verification"
    cp "$file" "$work/changed"
    printf 'x' | dd of="$work/changed" bs=1 seek=$(( $(stat -c %s "$file") / 2 )) conv=notrunc status=none
    if verify "$work/changed"; then fail "$(basename "$file") with a changed byte passes verification"; fi
done
echo "msi: the package and both programs are signed"

# The tables. Registry root 2 is HKLM, a value "#%" is REG_EXPAND_SZ, "#" a number, a name "*"
# a key made and removed whole. Custom action type 3122 runs the executable that a property
# names (50) deferred (1024), not impersonated (2048); 3186 also ignores its exit code, 3442 is
# that as a rollback action (256). Upgrade attributes 513: VersionMax inclusive (512).
has_row() { msiinfo export "$msi" "$1" | tr -d '\r' | grep -qP "$2" || fail "no row /$2/ in table $1 of $msi"; }
sequence() { msiinfo export "$msi" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
has_row File '^vintor\.exe\tProgram\t([^\t]*\|)?vintor\.exe\t'
has_row File '^vintorw\.exe\tProgramWithoutConsole\t([^\t]*\|)?vintorw\.exe\t'
has_row File '^vintor_task\.xml\tTaskDefinition\t([^\t]*\|)?vintor-task\.xml\t'
has_row File '^NOTICES\.txt\tNotices\t([^\t]*\|)?NOTICES\.txt\t'
key='Software\\KALDO Technologies\\Zadazevi Rerevarazu'
has_row Registry "^\\w+\\t2\\t$key\\twsUrl\\t\\[WSURL\\]\\tWsUrl\$"
has_row Registry "^\\w+\\t2\\t$key\\treceiverUrl\\t\\[RECEIVERURL\\]\\tReceiverUrl\$"
has_row Registry "^\\w+\\t2\\t$key\\tDO_NOT_RUN_VINTOR\\t\\[DONOTRUN\\]\\tDoNotRun\$"
source_key='SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Vintor'
has_row Registry "^\\w+\\t2\\t$source_key\\tEventMessageFile\\t#%\\[INSTALLDIR\\]vintorw\\.exe\\tEventSource\$"
has_row Registry "^\\w+\\t2\\t$source_key\\tTypesSupported\\t#7\\tEventSource\$"
has_row Registry "^\\w+\\t2\\t$source_key\\t\\*\\t\\tEventSource\$"
has_row Component '^WsUrl\t.*\tWSURL\t'
has_row Component '^ReceiverUrl\t.*\tRECEIVERURL\t'
has_row Component '^DoNotRun\t.*\tDONOTRUN\t'
has_row Registry "^\\w+\\t2\\t$key\\tNOTASK\\t\\[NOTASK\\]\\tNoTask\$"
has_row Component '^NoTask\t.*\tNOTASK\t'
has_row Property "^ProductVersion\\t${version//./\\.}\$"
has_row Property '^UpgradeCode\t\{8f3c2a71-5d4e-4b6a-9c1f-2e7d8a9b0c43\}$'
has_row Property '^ALLUSERS\t1$'
has_row Property '^SecureCustomProperties\t(.*;)?WSURL;RECEIVERURL;DONOTRUN;NOTASK(;.*)?$'
has_row Upgrade "^\\{8F3C2A71-5D4E-4B6A-9C1F-2E7D8A9B0C43\\}\\t\\t${version//./\\.}\\t\\t513\\t\\tWIX_UPGRADE_DETECTED\$"
has_row Upgrade "^\\{8F3C2A71-5D4E-4B6A-9C1F-2E7D8A9B0C43\\}\\t${version//./\\.}\\t\\t\\t2\\t\\tWIX_DOWNGRADE_DETECTED\$"
has_row CustomAction '^FindSchtasks\t51\tSystemSchtasks\t\[System64Folder\]schtasks\.exe\t'
has_row CustomAction '^RegisterTask\t3122\tSystemSchtasks\t/Create /F /TN "KALDO Technologies\\Vintor" /XML "\[INSTALLDIR\]vintor-task\.xml"'
has_row CustomAction '^UnregisterTask\t3442\tSystemSchtasks\t/Delete /F /TN "KALDO Technologies\\Vintor"'
has_row CustomAction '^DeleteTask\t3186\tSystemSchtasks\t/Delete /F /TN "KALDO Technologies\\Vintor"'
has_row CustomAction '^ReregisterTask\t3442\tSystemSchtasks\t/Create /F /TN "KALDO Technologies\\Vintor" /XML "\[INSTALLDIR\]vintor-task\.xml"'
has_row CustomAction '^DeleteSwitchedTask\t3186\tSystemSchtasks\t/Delete /F /TN "KALDO Technologies\\Vintor"'
# Each task step and its rollback twin: not with NOTASK="1" (only "1": MSI takes "0" for true);
# the registration's undone only on a first installation (a repair or an upgrade found the task
# there), the deletion's on a removal; an upgrade that turns NOTASK on deletes the package's task.
removal='REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE AND NOTASK<>"1"'
has_row InstallExecuteSequence '^RegisterTask\tNOT REMOVE="ALL" AND NOTASK<>"1"\t'
has_row InstallExecuteSequence '^UnregisterTask\tNOT REMOVE="ALL" AND NOTASK<>"1" AND NOT Installed AND NOT WIX_UPGRADE_DETECTED\t'
has_row InstallExecuteSequence '^DeleteSwitchedTask\tNOT REMOVE="ALL" AND NOTASK="1" AND WIX_UPGRADE_DETECTED AND OLDNOTASK<>"1"\t'
has_row InstallExecuteSequence "^DeleteTask\\t$removal\\t"
has_row InstallExecuteSequence "^ReregisterTask\\t$removal\\t"
has_row CustomAction '^FixProgramFolder\t51\tINSTALLDIR\t\[ProgramFiles64Folder\]KALDO Technologies\\\t'
has_row CustomAction '^KeepWsUrl\t51\tWSURL\t\[OLDWSURL\]'
has_row LaunchCondition '^NOT WIX_DOWNGRADE_DETECTED\tA newer version of Vintor is already installed\.$'
before() { [ "$(sequence "$1")" -lt "$(sequence "$2")" ] || fail "$1 does not come before $2"; }
before InstallValidate RemoveExistingProducts
before RemoveExistingProducts InstallInitialize
before FindSchtasks RegisterTask
before FixProgramFolder CostFinalize
before InstallFiles RegisterTask
before WriteRegistryValues RegisterTask
before UnregisterTask RegisterTask
before DeleteTask RemoveFiles
before ReregisterTask DeleteTask
before KeepNoTask RegisterTask
echo "msi: tables checked"

export WINEPREFIX=$work/wine
source scripts/wine-prefix.sh
program="$WINEPREFIX/drive_c/Program Files/KALDO Technologies"
task="$WINEPREFIX/drive_c/windows/system32/tasks/KALDO Technologies/Vintor"
machine_key='HKLM\Software\KALDO Technologies\Zadazevi Rerevarazu'
value() { wine reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' | awk -v n="$2" '$1 == n { $1 = ""; print substr($0, 2) }'; }
machine_value() { value "$machine_key" "$1" | awk '{ print $2 }'; }
entries() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s </dev/null 2>/dev/null | tr -d '\r' | grep -cP '^\s+DisplayName\s+REG_SZ\s+Vintor$' || true; }
msiexec() { wine msiexec "$@" /qn /l*v "$(windows_path "$work/msiexec.log")" </dev/null >/dev/null 2>&1; }
# The prefix goes with the script: show the end of msiexec's log before failing.
fail_with_log() { tail -n 30 "$work/msiexec.log" >&2; fail "$1"; }

# The task definition as installed: the text at a path of element names, each with a position
# among its namesakes where it needs one ("Trigger[2]").
task_text() {
    local xpath="" name position
    for name in "$@"; do
        position=""
        [[ $name != *\[* ]] || { position="[${name#*[}"; name=${name%%[*}; }
        xpath+="/*[local-name()='$name']$position"
    done
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

msiexec /i "$(windows_path "$msi")" WSURL="$wsurl" RECEIVERURL="$receiverurl" 'INSTALLDIR=C:\Tools\Vintor\' ||
    fail_with_log "the install failed"
for exe in vintor.exe vintorw.exe; do
    cmp -s "$signed/$exe" "$program/$exe" || fail "$exe is not in Program Files"
done
[ ! -e "$WINEPREFIX/drive_c/Tools" ] || fail "the install followed INSTALLDIR"
grep -aqF 'INSTALLDIR = C:\Program Files\KALDO Technologies\' "$work/msiexec.log" ||
    fail_with_log "msiexec's log does not show the program folder"
[ "$(machine_value wsUrl)" = "$wsurl" ] && [ "$(machine_value receiverUrl)" = "$receiverurl" ] ||
    fail "the service addresses are not in HKLM"
if wine reg query "$machine_key" /v DO_NOT_RUN_VINTOR </dev/null >/dev/null 2>&1; then
    fail "DO_NOT_RUN_VINTOR written without DONOTRUN"
fi
event_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Vintor'
message_file=$(value "$event_key" EventMessageFile)
[ "$message_file" = 'REG_EXPAND_SZ C:\Program Files\KALDO Technologies\vintorw.exe' ] ||
    fail "the event source's message file is '$message_file'"
[ "$(value "$event_key" TypesSupported)" = 'REG_DWORD 0x7' ] || fail "the event source's types are not 7"
[ -f "$program/vintorw.exe" ] || fail "the event source's message file does not exist"
[ -f "$task" ] || fail "the task is not registered"
[ "$(entries)" = 1 ] || fail "the program is not listed once"
echo "msi: installed, INSTALLDIR left aside"

[ "$(head -c 2 "$program/vintor-task.xml" | od -An -tx1 | tr -d ' ')" = fffe ] || fail "the task definition is not UTF-16"
task_is PT15M Triggers LogonTrigger Delay
task_is PT1H Triggers CalendarTrigger RandomDelay
task_is 1 Triggers CalendarTrigger ScheduleByDay DaysInterval
task_is SessionLock Triggers 'SessionStateChangeTrigger[1]' StateChange
task_is RemoteDisconnect Triggers 'SessionStateChangeTrigger[2]' StateChange
task_is S-1-5-32-545 Principals Principal GroupId
task_is LeastPrivilege Principals Principal RunLevel
task_is Parallel Settings MultipleInstancesPolicy
task_is true Settings StartWhenAvailable
task_is true Settings RunOnlyIfNetworkAvailable
task_is 7 Settings Priority
task_is '"%ProgramFiles%\KALDO Technologies\vintorw.exe"' Actions Exec Command
task_is -forKALDO Actions Exec Arguments
grep -aqF '\KALDO Technologies\vintor-task.xml' "$work/msiexec.log" || fail_with_log "no task registered from the definition"
echo "msi: task definition checked"

# The installed program, with no settings of the user's own, follows the machine's values.
export WINETEMP
WINETEMP=$(windows_path "$work/temp")
logs="$work/temp/KALDO Technologies/Zadazevi Rerevarazu Logs"
wine "$bin/logwriter.exe" --sessions 1 </dev/null >/dev/null 2>&1 || fail "the log writer failed"
wine 'C:\Program Files\KALDO Technologies\vintorw.exe' -forKALDO </dev/null >"$work/run.out" 2>&1 ||
    fail "the installed vintorw.exe failed: $(cat "$work/run.out")"
[ ! -s "$work/run.out" ] || fail "vintorw.exe printed: $(cat "$work/run.out")"
[ "$(find "$work/received" -type f | wc -l)" = 1 ] || fail "the receiver got $(find "$work/received" -type f | wc -l) logs"
[ -z "$(find "$logs" -maxdepth 1 -type f)" ] || fail "the run left logs behind"
echo "msi: the installed vintorw.exe harvested through the machine's values"

# The Group Policy template: each policy's display texts and presentation in the language file,
# and the values it writes, applied as Group Policy applies them, steer the installed program.
admx=packaging/windows/policy/vintor.admx
adml=packaging/windows/policy/en-US/vintor.adml
xmllint --noout "$admx" "$adml" || fail "the policy template is not well-formed"
in_admx() { xmllint --xpath "$1" "$admx"; }
for ref in $(in_admx "//@*[starts-with(., '\$(string.') or starts-with(., '\$(presentation.')]" |
    sed -E 's/^ *[a-zA-Z]+="\$\(([a-z]+)\.([A-Za-z_]+)\)"$/\1:\2/'); do
    kind=${ref%%:*} id=${ref#*:}
    [ "$kind" = string ] && path="//*[local-name()='string'][@id='$id']" || path="//*[local-name()='presentation'][@id='$id']"
    [ -n "$(xmllint --xpath "$path" "$adml" 2>/dev/null)" ] || fail "the policy template's $kind $id is not in $adml"
done
for id in $(in_admx "//*[local-name()='text']/@id" | sed -E 's/^ *id="([^"]*)"$/\1/'); do
    [ -n "$(xmllint --xpath "//*[local-name()='textBox'][@refId='$id']" "$adml" 2>/dev/null)" ] ||
        fail "the policy template's text $id has no text box"
done
# Where a policy writes: its key, and the value name of its text (or its own).
policy_value() {
    local p="//*[local-name()='policy'][@name='$1']"
    echo "HKLM\\$(in_admx "string($p/@key)")"
    in_admx "string(($p//*[local-name()='text']/@valueName | $p/@valueName)[1])"
    echo
}
apply_policy() { # name, value: the policy enabled with that value ("-" disables it)
    local where key name
    where=$(policy_value "$1")
    key=$(head -1 <<<"$where") name=$(tail -1 <<<"$where")
    [ "$key" = "$machine_key" ] || fail "policy $1 writes under $key, not where the programs read"
    if [ "$2" = - ]; then
        wine reg delete "$key" /v "$name" /f </dev/null >/dev/null 2>&1 || true
    else
        wine reg add "$key" /v "$name" /d "$2" /f </dev/null >/dev/null 2>&1 || fail "reg add $key $name failed"
    fi
}
[ "$(in_admx "string(//*[local-name()='policy'][@name='StopRuns']/*[local-name()='enabledValue']/*[local-name()='string'])")" = 1 ] ||
    fail "the stop policy does not write 1"
for name in wsUrl receiverUrl; do
    wine reg delete "$machine_key" /v "$name" /f </dev/null >/dev/null 2>&1 || fail "the machine's $name could not be cleared"
done
apply_policy WebServiceUrl "$wsurl"
apply_policy ReceiverUrl "$receiverurl"
harvest_by_policy() { # the receiver's count afterwards, the log folder's
    wine "$bin/logwriter.exe" --sessions 1 --seed "$1" --name "policy$1-$2" </dev/null >"$work/writer.out" 2>&1 ||
        fail "the log writer failed: $(cat "$work/writer.out")"
    wine 'C:\Program Files\KALDO Technologies\vintorw.exe' -forKALDO </dev/null >/dev/null 2>&1 ||
        fail "vintorw.exe failed under the policies"
    [ "$(find "$work/received" -type f | wc -l)" = "$1" ] || fail "policies: the receiver got $(find "$work/received" -type f | wc -l) logs, not $1"
    [ "$(find "$logs" -maxdepth 1 -type f -name '*.xml' | wc -l)" = "$2" ] || fail "policies: the log folder does not hold $2 logs"
}
harvest_by_policy 2 0
apply_policy StopRuns 1
harvest_by_policy 2 1
apply_policy StopRuns -
harvest_by_policy 4 0
echo "msi: the Group Policy template's values steer a run (addresses taken, the stop key stops it)"

# Another build over it, without the properties: one program, the new files, the values kept.
upgrade() {
    local version=$1 name=$2
    mkdir -p "$work/$name"
    for exe in vintor.exe vintorw.exe; do
        cp "$bin/$exe" "$work/$name/$exe"
        printf '%s' "$name" >> "$work/$name/$exe"
    done
    cp "$bin/qt-components.list" "$work/$name/"
    bash packaging/windows/build-msi.sh "$work/$name" "$version" "$work/$name.msi" > "$work/build.out"
    [ "$(grep -c 'not signed' "$work/build.out")" = 1 ] || fail "an unsigned build does not say so"
    msiexec /i "$(windows_path "$work/$name.msi")" || fail_with_log "the upgrade to the $name build failed"
    cmp -s "$work/$name/vintorw.exe" "$program/vintorw.exe" || fail "the $name build left the older vintorw.exe"
    [ "$(entries)" = 1 ] || fail "after the $name build the program is listed $(entries) times"
    [ "$(machine_value wsUrl)" = "$wsurl" ] && [ "$(machine_value receiverUrl)" = "$receiverurl" ] ||
        fail "the $name build lost the service addresses"
    [ -f "$task" ] || fail "the $name build lost the task"
}
upgrade "$version" rebuilt
echo "msi: a rebuild of $version replaced it in place"
newer_version=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2, $3 + 1 }')
upgrade "$newer_version" newer
echo "msi: $newer_version upgraded $version in place"

# The older package over the newer one stops at its launch condition (whose message, checked in
# the tables above, a silent install under Wine does not log) and changes nothing.
if msiexec /i "$(windows_path "$msi")"; then fail "the older package went in over the newer one"; fi
grep -aq "WIX_DOWNGRADE_DETECTED = {" "$work/msiexec.log" || fail "the refusal was not for the newer version"
cmp -s "$work/newer/vintor.exe" "$program/vintor.exe" || fail "the refused package changed vintor.exe"
echo "msi: $version refused over $newer_version"

# Removal: the programs, the event source, the task and the machine's values go; the user's own
# settings and logs stay.
wine reg add 'HKCU\Software\KALDO Technologies\Zadazevi Rerevarazu' /v wsUrl /d http://user.example/ /f \
    </dev/null >/dev/null 2>&1
msiexec /x "$(windows_path "$work/newer.msi")" || fail_with_log "the removal failed"
[ -z "$(ls -A "$program" 2>/dev/null)" ] || fail "the removal left $(ls "$program")"
[ ! -e "$task" ] || fail "the removal left the task"
[ -z "$(machine_value wsUrl)$(machine_value receiverUrl)" ] || fail "the removal left the machine's values"
if wine reg query "$event_key" </dev/null >/dev/null 2>&1; then fail "the removal left the event source"; fi
[ "$(entries)" = 0 ] || fail "the removal left the program listed"
wine reg query 'HKCU\Software\KALDO Technologies\Zadazevi Rerevarazu' /v wsUrl </dev/null 2>/dev/null |
    grep -q user.example || fail "the removal took the user's own settings"
[ -d "$logs" ] || fail "the removal took the user's log folder"
echo "msi: removed"

# An installation that fails once the task is registered (a deferred action after it runs a
# program that ends with an error) rolls back, and the task with it.
cp "$msi" "$work/failing.msi"
plant=("INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('Shell', 'C:\\windows\\system32\\cmd.exe')"
    "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('Fail', 3122, 'Shell', '/c exit 3')"
    "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('Fail', 5060)")
for query in "${plant[@]}"; do msibuild "$work/failing.msi" -q "$query"; done
if msiexec /i "$(windows_path "$work/failing.msi")"; then fail "the failing package installed"; fi
grep -aqF 'Fail' "$work/msiexec.log" || fail_with_log "the planted failure did not run"
[ ! -e "$task" ] || fail "the task outlived the rolled-back installation"
[ -z "$(ls -A "$program" 2>/dev/null)" ] && [ "$(entries)" = 0 ] || fail "the rolled-back installation left files"
echo "msi: a failed installation took its task back"

# The same failure in an upgrade, over an installation whose task was there before: the task stays.
msiexec /i "$(windows_path "$msi")" || fail_with_log "the install before the failing upgrade failed"
bash packaging/windows/build-msi.sh "$work/newer" "$newer_version" "$work/failing-upgrade.msi" > "$work/build.out"
for query in "${plant[@]}"; do msibuild "$work/failing-upgrade.msi" -q "$query"; done
if msiexec /i "$(windows_path "$work/failing-upgrade.msi")"; then fail "the failing upgrade installed"; fi
grep -aqF 'Fail' "$work/msiexec.log" || fail_with_log "the planted failure did not run in the upgrade"
[ -f "$task" ] || fail "a failed upgrade deleted the task it found"
msiexec /x "$(windows_path "$msi")" || fail_with_log "the removal after the failed upgrade failed"
echo "msi: a failed upgrade left the task it found"

# NOTASK=1: the definition goes in, the task is not registered, and the value that keeps it so
# for upgrades is in HKLM. A task that Group Policy deployed from that definition outlives the
# removal.
msiexec /i "$(windows_path "$msi")" NOTASK=1 || fail_with_log "the install with NOTASK=1 failed"
[ -f "$program/vintor-task.xml" ] || fail "NOTASK=1 left out the task definition"
[ ! -e "$task" ] || fail "NOTASK=1 registered the task"
[ "$(machine_value NOTASK)" = 1 ] || fail "NOTASK=1 is not kept in HKLM"
wine schtasks /Create /F /TN 'KALDO Technologies\Vintor' /XML 'C:\Program Files\KALDO Technologies\vintor-task.xml' \
    </dev/null >/dev/null 2>&1
[ -f "$task" ] || fail "the task could not be registered as Group Policy would"
msiexec /x "$(windows_path "$msi")" || fail_with_log "the removal of the NOTASK=1 installation failed"
[ -f "$task" ] || fail "the removal of a NOTASK=1 installation deleted the task"
[ -z "$(machine_value NOTASK)" ] || fail "the removal left NOTASK in HKLM"
echo "msi: NOTASK=1 installs the definition only, and leaves the task alone"

# NOTASK both ways, through upgrades (rebuilds of the package): 0 on a first installation
# registers the task, an upgrade to 1 deletes it, one back to 0 registers it again; a removal
# after 1 leaves the fleet's task, after 0 deletes the package's.
msiexec /i "$(windows_path "$msi")" NOTASK=0 || fail_with_log "the install with NOTASK=0 failed"
[ -f "$task" ] || fail "NOTASK=0 did not register the task"
msiexec /i "$(windows_path "$work/rebuilt.msi")" NOTASK=1 || fail_with_log "the upgrade to NOTASK=1 failed"
[ ! -e "$task" ] || fail "the upgrade to NOTASK=1 left the package's task"
[ "$(machine_value NOTASK)" = 1 ] || fail "the upgrade to NOTASK=1 did not keep it"
msiexec /i "$(windows_path "$work/newer.msi")" || fail_with_log "the upgrade keeping NOTASK=1 failed"
[ ! -e "$task" ] || fail "an upgrade without NOTASK registered the task over the kept NOTASK=1"
bash packaging/windows/build-msi.sh "$work/newer" "$newer_version" "$work/newer-again.msi" > "$work/build.out"
msiexec /i "$(windows_path "$work/newer-again.msi")" NOTASK=0 || fail_with_log "the upgrade back to NOTASK=0 failed"
[ -f "$task" ] || fail "the upgrade back to NOTASK=0 did not register the task"
[ "$(machine_value NOTASK)" = 0 ] || fail "the upgrade back to NOTASK=0 did not keep it"
msiexec /x "$(windows_path "$work/newer-again.msi")" || fail_with_log "the removal after NOTASK=0 failed"
[ ! -e "$task" ] || fail "the removal after NOTASK=0 left the package's task"
echo "msi: NOTASK=0 and NOTASK=1 both ways through upgrades"
