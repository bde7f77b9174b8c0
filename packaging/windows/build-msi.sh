#!/usr/bin/env bash
# Makes the Windows installer from vintor.wxs: build-msi.sh <folder> <version> <output.msi>, where
# the folder holds the two programs, vintor.exe and vintorw.exe.
# The target msi of the Windows build runs it with the project's version; the installer tests
# run it for the other versions they need.
#
# wixl of Debian 12 leaves out two things that the package needs, which are set afterwards in
# its tables: the conditions of the components that write the machine-wide values (each only
# when its property is given), and the place of RemoveExistingProducts (right after
# InstallValidate, so that an older version is removed whole before the newer one goes in).
set -euo pipefail
programs=$(realpath "$1")
version=$2
output=$(realpath -m "$3")
here=$(dirname "$(realpath "$0")")

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp "$programs/vintor.exe" "$programs/vintorw.exe" "$stage/"
# Task Scheduler reads task definitions as UTF-16; the source stays UTF-8 to be read and diffed.
sed '1s/encoding="UTF-8"/encoding="UTF-16"/' "$here/vintor-task.xml" | iconv -f UTF-8 -t UTF-16 > "$stage/vintor-task.xml"
# wixl finds the files named by Source in the folder it runs in.
(cd "$stage" && wixl --arch x64 --define Version="$version" --output "$output.tmp" "$here/vintor.wxs")
for query in \
    "UPDATE Component SET Condition = 'WSURL' WHERE Component = 'WsUrl'" \
    "UPDATE Component SET Condition = 'RECEIVERURL' WHERE Component = 'ReceiverUrl'" \
    "UPDATE Component SET Condition = 'DONOTRUN' WHERE Component = 'DoNotRun'" \
    "UPDATE InstallExecuteSequence SET Sequence = 1450 WHERE Action = 'RemoveExistingProducts'"; do
    msibuild "$output.tmp" -q "$query"
done
mv "$output.tmp" "$output"
