#!/usr/bin/env bash
# Makes the Windows installer from vintor.wxs: build-msi.sh <folder> <version> <output.msi>, where
# the folder holds the two programs, vintor.exe and vintorw.exe, and qt-components.list, the Qt code
# they carry (the build's target qt-components makes it), and the SBOM beside it. The target msi of the Windows
# build runs it with the project's version; the installer tests run it for the other versions
# they need.
#
# Signing: with VINTOR_SIGN_CERT (the certificate chain, PEM) and VINTOR_SIGN_KEY (its key, PEM,
# or a PKCS#11 URI with VINTOR_SIGN_PKCS11_MODULE naming the module of the hardware token) set,
# both programs are signed before they go into the package, then the package itself, with
# osslsigncode (SHA-256), with an RFC 3161 timestamp from VINTOR_SIGN_TIMESTAMP_URL when set.
# VINTOR_SIGN_PASSWORD_FILE holds the key's password, if it has one.
#
# wixl of Debian 12 leaves out what the package needs in its tables, set here afterwards:
#   - the conditions of the components that write the machine-wide values (each only when its
#     property is given);
#   - the place of RemoveExistingProducts (right after InstallValidate, so that an older version
#     is removed whole before the newer one goes in);
#   - upgrades by a package of the same version (a rebuild replaces the installed one in place);
#   - the properties a managed installation passes on to its server side (SecureCustomProperties);
#   - UnregisterTask and ReregisterTask as the rollbacks of RegisterTask and DeleteTask;
#   - the event source's message file as REG_EXPAND_SZ, and its key created and removed whole.
set -euo pipefail
programs=$(realpath "$1")
version=$2
output=$(realpath -m "$3")
here=$(dirname "$(realpath "$0")")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

sign() {
    local options=(-h sha256 -n Vintor)
    if [[ $VINTOR_SIGN_KEY == pkcs11:* ]]; then
        options+=(-pkcs11module "${VINTOR_SIGN_PKCS11_MODULE:?the PKCS#11 module of the token}")
    fi
    [ -z "${VINTOR_SIGN_PASSWORD_FILE:-}" ] || options+=(-readpass "$VINTOR_SIGN_PASSWORD_FILE")
    [ -z "${VINTOR_SIGN_TIMESTAMP_URL:-}" ] || options+=(-ts "$VINTOR_SIGN_TIMESTAMP_URL")
    osslsigncode sign "${options[@]}" -certs "$VINTOR_SIGN_CERT" -key "$VINTOR_SIGN_KEY" -in "$1" -out "$1.signed" \
        >/dev/null
    mv "$1.signed" "$1"
}
signing=0
if [ -n "${VINTOR_SIGN_CERT:-}" ] && [ -n "${VINTOR_SIGN_KEY:-}" ]; then
    signing=1
else
    echo "build-msi: VINTOR_SIGN_CERT and VINTOR_SIGN_KEY are not set: $(basename "$output") and its programs are not signed"
fi

cp "$programs/vintor.exe" "$programs/vintorw.exe" "$stage/"
if [ $signing = 1 ]; then
    sign "$stage/vintor.exe"
    sign "$stage/vintorw.exe"
fi
# The notices of what the programs carry go in beside them; the SBOM, with the SHA-256 of the files
# as shipped (signed), beside the package: vintor-<version>-x64.cdx.json. It lists what the MSI
# installs, and so not vintorlog.dll, which product teams ship with their own products.
shipped="$stage/vintor.exe;$stage/vintorw.exe"
[ -f "$programs/qt-components.list" ] || { echo "build-msi: $programs holds no qt-components.list" >&2; exit 1; }
cmake -DPACKAGE=windows -DVERSION="$version" -DNOTICES="$stage/NOTICES.txt" -DSBOM="${output%.msi}.cdx.json" \
    -DFILES="$shipped" -DEXTRA_LIST="$programs/qt-components.list" -P "$here/../shipping.cmake"
# Task Scheduler reads task definitions as UTF-16; the source stays UTF-8 to be read and diffed.
sed '1s/encoding="UTF-8"/encoding="UTF-16"/' "$here/vintor-task.xml" | iconv -f UTF-8 -t UTF-16 > "$stage/vintor-task.xml"
# wixl finds the files named by Source in the folder it runs in.
(cd "$stage" && wixl --arch x64 --define Version="$version" --output "$stage/package.msi" "$here/vintor.wxs")
eventsource='SYSTEM\CurrentControlSet\Services\EventLog\Application\Vintor'
# Attributes belongs to the Upgrade table's key: the row is made anew, its VersionMax inclusive.
upgrade_code=$(msiinfo export "$stage/package.msi" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 }')
for query in \
    "UPDATE Component SET Condition = 'WSURL' WHERE Component = 'WsUrl'" \
    "UPDATE Component SET Condition = 'RECEIVERURL' WHERE Component = 'ReceiverUrl'" \
    "UPDATE Component SET Condition = 'DONOTRUN' WHERE Component = 'DoNotRun'" \
    "UPDATE Component SET Condition = 'NOTASK' WHERE Component = 'NoTask'" \
    "UPDATE InstallExecuteSequence SET Sequence = 1450 WHERE Action = 'RemoveExistingProducts'" \
    "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
    "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$version', 513, 'WIX_UPGRADE_DETECTED')" \
    "UPDATE Property SET Value = 'WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED;WSURL;RECEIVERURL;DONOTRUN;NOTASK' WHERE Property = 'SecureCustomProperties'" \
    "UPDATE CustomAction SET Type = 3442 WHERE Action = 'UnregisterTask' OR Action = 'ReregisterTask'" \
    "UPDATE \`Registry\` SET \`Value\` = '#%[INSTALLDIR]vintorw.exe' WHERE \`Name\` = 'EventMessageFile'" \
    "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('EventSourceKey', 2, '$eventsource', '*', 'EventSource')"; do
    msibuild "$stage/package.msi" -q "$query"
done
[ $signing = 0 ] || sign "$stage/package.msi"
mv "$stage/package.msi" "$output"
