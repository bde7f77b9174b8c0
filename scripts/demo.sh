#!/usr/bin/env bash
# The whole job on loopback: writes sample logs with the reference writer into a demo home,
# starts the reference service, runs `vintor -forKALDO` against it and reports what the
# receiver got. VINTOR names another vintor binary to run (an installed one, say). The exit
# status is 0 only when the run ended with 0, something was received and nothing leaked.
#
#   scripts/demo.sh --windows   the same harvest by vintor.exe and logwriter.exe under Wine (in
#                               the Wine prefix demo-home/wine, settings in its registry), against
#                               the same Linux reference service
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
windows=0
[ "${1:-}" = --windows ] && windows=1

if [ $windows = 1 ]; then
    WITH_PACKAGE=0 WITH_CHECKS=0 bash scripts/setup.sh
    qt=$(bash scripts/qt-mingw.sh)
    cmake --preset windows -DQT_MINGW_PREFIX="$qt" >/dev/null
    cmake --build --preset windows -j"$(nproc)" --target vintor logwriter >/dev/null
else
    WITH_WINDOWS=0 WITH_PACKAGE=0 bash scripts/setup.sh
fi
cmake --preset dev >/dev/null
cmake --build --preset dev -j"$(nproc)" >/dev/null
bin=$repo/build/bin

home=$repo/demo-home
rm -rf "$home"
mkdir -p "$home"/{tmp,config,received,debug}
export TEMP=$home/tmp TMPDIR=$home/tmp XDG_CONFIG_HOME=$home/config
unset LOCALAPPDATA http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY || true

# A path that a Windows program under Wine printed, as this shell opens it.
unix_path() { local p=${1#[Zz]:}; p=${p%$'\r'}; echo "${p//\\//}"; }
if [ $windows = 1 ]; then
    export WINEPREFIX=$home/wine
    source scripts/wine-prefix.sh
    export WINETEMP
    WINETEMP=$(windows_path "$home/tmp")
    vintor_cmd=(wine "$repo/build-windows/bin/vintor.exe")
    logwriter_cmd=(wine "$repo/build-windows/bin/logwriter.exe")
else
    vintor_cmd=("${VINTOR:-$bin/vintor}")
    logwriter_cmd=("$bin/logwriter")
fi

cat > "$home/policy" <<'POLICY'
# product 12 in full, 27 as a summary, 31 not at all, for a day
default Details 86400
product 27 SummaryOnly 86400
product 31 Discard 86400
POLICY

"$bin/refservice" --policy "$home/policy" --log "$home/service.log" --receive-dir "$home/received" \
    > "$home/service.out" 2> "$home/service.err" &
service=$!
stop() {
    kill $service 2>/dev/null || true
    [ $windows = 0 ] || wineserver -k 2>/dev/null || true
}
trap stop EXIT
for _ in $(seq 100); do
    grep -q "listening on port" "$home/service.out" 2>/dev/null && break
    sleep 0.05
done
port=$(awk '/listening on port/ {print $4}' "$home/service.out")

if [ $windows = 1 ]; then
    debug=$(windows_path "$home/debug")
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\KALDO Technologies\\Zadazevi Rerevarazu]\r\n"wsUrl"="%s"\r\n"receiverUrl"="%s"\r\n"Vintor Debug Dir"="%s"\r\n' \
        "http://127.0.0.1:$port/usagetracking/veri.asmx" "http://127.0.0.1:$port/usagetracking/post.track" \
        "${debug//\\/\\\\}" > "$home/settings.reg"
    wine regedit /S "$(windows_path "$home/settings.reg")"
else
    mkdir -p "$home/config/KALDO Technologies"
    cat > "$home/config/KALDO Technologies/Zadazevi Rerevarazu.conf" <<SETTINGS
[General]
wsUrl=http://127.0.0.1:$port/usagetracking/veri.asmx
receiverUrl=http://127.0.0.1:$port/usagetracking/post.track
Vintor%20Debug%20Dir=$home/debug
SETTINGS
fi

{
    "${logwriter_cmd[@]}" --logs 3 --parts 3 --sessions 6 --events 8 --seed 2026 --name project
    "${logwriter_cmd[@]}" --name localadmin --no-kaldo --admin --seed 7
} > "$home/written.raw"
while IFS= read -r line; do unix_path "$line"; done < "$home/written.raw" > "$home/written.txt"
logdir=$(dirname "$(head -n 1 "$home/written.txt")")
# Everything the products marked for anonymisation; none of it may reach the receiver.
tr '\n' '\0' < "$home/written.txt" | xargs -0 cat | grep -o '<anon>[^<]*</anon>' | sed 's/<[^>]*>//g' | sort -u > "$home/anonymised.txt"

set +e
"${vintor_cmd[@]}" -forKALDO
code=$?
set -e

sessions() { # uuid productid events summary, one line per session of a pretty-printed log
    awk '/<session[ >]/ { if (u != "") print u, p, e, s; u = ""; p = ""; e = 0; s = 0 }
         /<sessionuuid>/ { gsub(/.*<sessionuuid>|<\/sessionuuid>.*/, ""); u = $0 }
         /<productid>/ { gsub(/.*<productid>|<\/productid>.*/, ""); p = $0 }
         /<event>|<eventstart / { e++ }
         /<eventsomitted>/ { s = 1 }
         END { if (u != "") print u, p, e, s }' "$1"
}

echo "${vintor_cmd[*]} -forKALDO ended with exit code $code"
echo
for input in "$home"/debug/*-input-pretty.xml; do
    base=$(basename "$input" -input-pretty.xml)
    output=$home/debug/$base-output-pretty.xml
    echo "Log $base:"
    sessions "$input" | while read -r uuid product events _; do
        line=""
        [ -f "$output" ] && line=$(sessions "$output" | awk -v u="$uuid" '$1 == u')
        if [ ! -f "$output" ]; then
            published="not for the receiver"
        elif [ -z "$line" ]; then
            published="Discard (not sent)"
        elif [ "$(echo "$line" | awk '{print $4}')" = 1 ]; then
            published="SummaryOnly (events left out)"
        else
            published="Details ($(echo "$line" | awk '{print $3}') events)"
        fi
        printf '  session %s of product %s with %s events: %s\n' "${uuid:0:8}" "$product" "$events" "$published"
    done
    if [ -f "$home/debug/$base-output.xml" ] && ! grep -q '<session' "$home/debug/$base-output.xml"; then
        echo "  not sent: no session published"
    elif [ -f "$home/debug/$base-output.xml" ]; then
        received=""
        for f in "$home"/received/*.xml; do
            cmp -s "$f" "$home/debug/$base-output.xml" && received=$f && break
        done
        stored=$(grep -F "post stored $received " "$home/service.log" | sed 's/.*bytes=\([0-9]*\) compressed=\([0-9]*\)/\2 bytes compressed (\1 bytes of log)/')
        echo "  sent: $stored; stored by the receiver as ${received:-nothing}"
    else
        echo "  not sent: meant only for the local administration tool"
    fi
done
echo
leaks=0
while IFS= read -r secret; do
    [ -n "$secret" ] && grep -rqF -- "$secret" "$home/received" && { echo "LEAKED: $secret"; leaks=1; }
done < "$home/anonymised.txt"
if [ $leaks = 0 ]; then
    echo "None of the $(wc -l < "$home/anonymised.txt") anonymised texts reached the receiver in clear."
fi
left=$(find "$logdir" -maxdepth 1 -type f | wc -l)
echo "Files left in the log folder: $left"
stop
wait $service 2>/dev/null || true
trap - EXIT
echo
echo "The service has stopped. Files: $home (received/, debug/, service.log, the log folder under tmp/)."
received=$(find "$home/received" -type f | wc -l)
[ "$code" = 0 ] && [ "$leaks" = 0 ] && [ "$received" -gt 0 ]
