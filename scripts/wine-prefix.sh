# Sourced by the scripts that run Windows programs: a Wine prefix of their own (WINEPREFIX, made
# when missing) with a persistent Wine server, and the environment those programs are given.
#
# Wine gives a Windows program the TEMP, TMP and LOCALAPPDATA of its registry, whatever the Unix
# environment says. The prefix drops them there, so that each run's TEMP comes from WINETEMP
# (Wine hands WINETEMP to the program as TEMP) and LOCALAPPDATA from the Unix variable, as a
# scheduled task or a login shell would set them on a workstation.
export WINEPREFIX=${WINEPREFIX:-$(mktemp -d /tmp/vintor-wine.XXXXXX)}
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would wait for a click.
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's WinINet reads these too; the proxy comes from the registry in these runs.
unset http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY || true

if [ ! -f "$WINEPREFIX/.vintor-ready" ]; then
    # A first start now and then fails while another prefix's server is still going down: it is
    # tried again, and a failure says so instead of ending the caller without a word.
    for attempt in 1 2 3; do
        wineboot -i </dev/null >"$WINEPREFIX.wineboot.log" 2>&1 && break
        if [ $attempt = 3 ]; then
            echo "wine-prefix: wineboot -i failed in $WINEPREFIX:" >&2
            tail -n 20 "$WINEPREFIX.wineboot.log" >&2
            exit 1
        fi
        wineserver -k >/dev/null 2>&1 || true
        sleep 2
    done
    rm -f "$WINEPREFIX.wineboot.log"
    # Its helpers may still be writing the environment into the registry: wait for them to end
    # before dropping TEMP and TMP from it, or a program started next may still see them.
    wineserver -w
    for name in TEMP TMP; do
        wine reg delete 'HKCU\Environment' /v "$name" /f </dev/null >/dev/null 2>&1 || true
        wine reg delete 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v "$name" /f \
            </dev/null >/dev/null 2>&1 || true
    done
    wine reg delete 'HKCU\Volatile Environment' /v LOCALAPPDATA /f </dev/null >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.vintor-ready"
fi
# A path as a Windows program under Wine spells it: drive Z: is the root of the file system.
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

# A persistent server: each program would otherwise wait out the server's linger, and a server
# started by a program holds that program's pipes open after it ends.
wineserver -p </dev/null >/dev/null 2>&1 &
