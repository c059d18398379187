#!/bin/sh
# The real brisvane.exe on Wine's own audio engine: a private PulseAudio server holding only
# a null sink, Wine's PulseAudio driver alone enabled. Every start-up step up to the capture
# client works there; Wine gives no capture client for a loopback stream, so the program
# must exit with status 1, write nothing on standard output and exactly that report.
#
# Usage: wine_audio_smoke.sh BRISVANE_EXE WORK_DIR   (WORK_DIR keeps the Wine prefix)
set -eu
[ $# -eq 2 ] || { echo "usage: $0 BRISVANE_EXE WORK_DIR" >&2; exit 2; }
command -v pulseaudio >/dev/null || { echo "$0: pulseaudio is not installed (scripts/install-deps)" >&2; exit 2; }
exe=$1
mkdir -p "$2"
work=$(cd "$2" && pwd)
pulse=$(mktemp -d /tmp/brisvane-pulse.XXXXXX)  # short: a socket path must fit in 108 bytes
export HOME="$pulse" XDG_RUNTIME_DIR="$pulse" PULSE_SERVER="unix:$pulse/native" \
    PULSE_CLIENTCONFIG="$pulse/client.conf" WINEPREFIX="$work/wineprefix" WINEDEBUG=-all \
    WINEDLLOVERRIDES='winealsa.drv=d;mscoree,mshtml='
unset DISPLAY WAYLAND_DISPLAY
pulse_pid=
cleanup() {
    [ -z "$pulse_pid" ] || kill "$pulse_pid" 2>/dev/null || true
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$pulse"
}
trap cleanup EXIT

printf 'autospawn = no\n' >"$pulse/client.conf"
# -n: no default.pa; the sink exists before the socket does.
pulseaudio -n --daemonize=no --use-pid-file=no --exit-idle-time=-1 --disallow-exit --disable-shm=yes \
    --realtime=no --high-priority=no --no-cpu-limit=yes --log-target=stderr \
    -L "module-null-sink sink_name=null" \
    -L "module-native-protocol-unix socket=$pulse/native auth-anonymous=1 auth-cookie-enabled=0" \
    </dev/null >"$pulse/pulseaudio.log" 2>&1 &
pulse_pid=$!
waited=0
until [ -S "$pulse/native" ]; do
    if [ $waited -ge 150 ] || ! kill -0 "$pulse_pid" 2>/dev/null; then
        echo "PulseAudio did not come up:" >&2
        cat "$pulse/pulseaudio.log" >&2
        exit 2
    fi
    sleep 0.1
    waited=$((waited + 1))
done

# A prefix of its own (the sound driver differs from the build's); Wine's services are started
# first, so that their output stays out of the program's standard error.
[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i && wineserver -w; } >/dev/null 2>&1
wineboot >/dev/null 2>&1 </dev/null

status=0
timeout -k 10 60 wine "$exe" </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
printf 'Error: failed to get capture client\n\nCaused by:\n    0: Windows returned an error: 0x88890003\n    1: 0x88890003\n' \
    >"$work/expected"
if [ "$status" -eq 1 ] && [ ! -s "$work/stdout" ] && cmp -s "$work/expected" "$work/stderr"; then
    echo "PASS: exit status 1, nothing on standard output, the capture-client report"
    exit 0
fi
echo "FAIL: exit status $status (expected 1), $(wc -c <"$work/stdout") bytes on standard output (expected 0)"
diff -u "$work/expected" "$work/stderr" || true
od -c "$work/stderr" | head -20
cat "$pulse/pulseaudio.log"
exit 1
