#!/bin/sh
# The real programs on Wine's own audio engine: a private PulseAudio server holding only a null
# sink, Wine's PulseAudio driver alone enabled. Every start-up step of brisvane.exe up to the
# capture client works there; Wine gives no capture client for a loopback stream, so it must
# exit with status 1, write nothing on standard output and exactly that report.
# brisvane-watch.exe's first line must name Wine's default endpoint (its "PulseAudio" one,
# which plays to the null sink), and choosing the sink's own endpoint as the default output
# (what winecfg writes), then no choice, must give one exact line each.
#
# Usage: wine_audio_smoke.sh BRISVANE_EXE WATCH_EXE WORK_DIR   (WORK_DIR keeps the Wine prefix)
set -eu
[ $# -eq 3 ] || { echo "usage: $0 BRISVANE_EXE WATCH_EXE WORK_DIR" >&2; exit 2; }
command -v pulseaudio >/dev/null || { echo "$0: pulseaudio is not installed (scripts/install-deps)" >&2; exit 2; }
exe=$1
watch_exe=$2
mkdir -p "$3"
work=$(cd "$3" && pwd)
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
    -L "module-null-sink sink_name=null sink_properties=device.description=brisvane-smoke-sink" \
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

fail=0
status=0
timeout -k 10 60 wine "$exe" </dev/null >"$work/stdout" 2>"$work/stderr" || status=$?
printf 'Error: failed to get capture client\n\nCaused by:\n    0: Windows returned an error: 0x88890003\n    1: 0x88890003\n' \
    >"$work/expected"
if [ "$status" -eq 1 ] && [ ! -s "$work/stdout" ] && cmp -s "$work/expected" "$work/stderr"; then
    echo "PASS: exit status 1, nothing on standard output, the capture-client report"
else
    echo "FAIL: exit status $status (expected 1), $(wc -c <"$work/stdout") bytes on standard output (expected 0)"
    diff -u "$work/expected" "$work/stderr" || true
    od -c "$work/stderr" | head -20
    fail=1
fi

# The id of the render endpoint whose friendly name is $1, from Wine's registry.
render_key='HKLM\Software\Microsoft\Windows\CurrentVersion\MMDevices\Audio\Render'
drivers_key='HKCU\Software\Wine\Drivers\winepulse.drv'
endpoint_id_named() {
    timeout 60 wine reg query "$render_key" /s 2>/dev/null | tr -d '\r' |
        awk -v name="$1" '
            /^HKEY_/ { n = split($0, parts, "\\"); key = parts[n - 1] }
            index($0, "{A45C254E-DF1C-4EFD-8020-67D146A850E0},14") && $NF == name { print key; exit }'
}
# Waits until the watcher has written $1 lines (or has ended).
await_lines() {
    waited=0
    while kill -0 "$watcher" 2>/dev/null && [ "$(wc -l <"$work/watch.out")" -lt "$1" ] && [ $waited -lt 300 ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
}
timeout 60 wine reg delete "$drivers_key" /v DefaultOutput /f >/dev/null 2>&1 || true
: >"$work/watch.out"
timeout -k 10 120 wine "$watch_exe" </dev/null >"$work/watch.out" 2>"$work/watch.err" &
watcher=$!
await_lines 1
wine_default=$(endpoint_id_named PulseAudio)
sink=$(endpoint_id_named brisvane-smoke-sink)
timeout 60 wine reg add "$drivers_key" /v DefaultOutput /d "{0.0.0.00000000}.$sink" /f >/dev/null 2>&1 || true
await_lines 2
timeout 60 wine reg delete "$drivers_key" /v DefaultOutput /f >/dev/null 2>&1 || true
await_lines 3
kill "$watcher" 2>/dev/null || true
wineserver -k >/dev/null 2>&1 || true
wait "$watcher" 2>/dev/null || true
printf 'default\t{0.0.0.00000000}.%s\tPulseAudio\ndefault\t{0.0.0.00000000}.%s\tbrisvane-smoke-sink\ndefault\t{0.0.0.00000000}.%s\tPulseAudio\n' \
    "$wine_default" "$sink" "$wine_default" >"$work/watch.expected"
if [ -n "$wine_default" ] && [ -n "$sink" ] && cmp -s "$work/watch.expected" "$work/watch.out" && [ ! -s "$work/watch.err" ]; then
    echo "PASS: brisvane-watch.exe named Wine's default endpoint, then each chosen default"
else
    echo "FAIL: brisvane-watch.exe's lines (expected, then got; standard error last):"
    od -c "$work/watch.expected" | head -20
    od -c "$work/watch.out" | head -20
    od -c "$work/watch.err" | head -10
    fail=1
fi
[ $fail -eq 0 ] || cat "$pulse/pulseaudio.log"
exit $fail
