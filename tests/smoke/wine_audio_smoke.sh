#!/bin/sh
# Smoke runs of the real brisvane.exe (or brisvane-watch.exe) under Wine's own audio stack.
#
# Usage: wine_audio_smoke.sh [--case no-drivers|pulse|watch-pulse|all] EXE WORK_DIR
#
#   no-drivers  Wine's sound drivers are disabled, so the device enumerator
#               cannot be created.
#   pulse       A private PulseAudio server holding only a null sink; only
#               Wine's PulseAudio driver is enabled. Opening the loopback
#               stream works on Wine's engine, getting the capture client
#               does not.
#   watch-pulse The same PulseAudio null sink, EXE being brisvane-watch.exe:
#               its first line must name that sink's endpoint, and standard
#               error stays empty (the watcher is ended once the line came).
#
# Each brisvane.exe case must exit with status 1, print nothing on stdout and print
# exactly the expected bytes on stderr. WORK_DIR (inside the build tree)
# holds one Wine prefix per case and the temporary files; the prefixes are
# kept between runs, everything else is removed on every exit path.
# Exit status: 0 when every selected case passes, 1 on a mismatch,
# 2 on bad usage or a broken environment.

set -u

case_sel=all
while [ $# -gt 0 ]; do
    case "$1" in
        --case) [ $# -ge 2 ] || { echo "usage: $0 [--case no-drivers|pulse|all] EXE WORK_DIR" >&2; exit 2; }
                case_sel=$2; shift 2 ;;
        --case=*) case_sel=${1#--case=}; shift ;;
        --) shift; break ;;
        -*) echo "$0: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
if [ $# -ne 2 ]; then
    echo "usage: $0 [--case no-drivers|pulse|all] BRISVANE_EXE WORK_DIR" >&2
    exit 2
fi
case "$case_sel" in
    no-drivers|pulse|watch-pulse|all) ;;
    *) echo "$0: unknown case '$case_sel' (no-drivers, pulse, watch-pulse or all)" >&2; exit 2 ;;
esac

exe=$1
work=$2
if [ ! -f "$exe" ]; then
    echo "$0: no such program: $exe" >&2
    exit 2
fi
mkdir -p "$work" || exit 2
exe=$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")
work=$(cd "$work" && pwd)

for tool in wine wineboot wineserver timeout flock cmp diff od; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$0: '$tool' is not installed" >&2; exit 2; }
done

# Seconds allowed for one program run, for creating a prefix, for the
# PulseAudio server to come up.
run_timeout=${BRISVANE_SMOKE_TIMEOUT:-60}
boot_timeout=${BRISVANE_SMOKE_BOOT_TIMEOUT:-300}
pulse_wait=${BRISVANE_SMOKE_PULSE_WAIT:-15}

home_dir=$work/home
mkdir -p "$home_dir" || exit 2

# Overrides of the two cases. mscoree and mshtml are off so that Wine never
# tries to install Mono or Gecko.
no_drivers_dlls='winealsa.drv,winepulse.drv=d;mscoree,mshtml='
pulse_dlls='winealsa.drv=d;mscoree,mshtml='

# The null sink's description: the friendly name Wine gives its endpoint.
sink_description=brisvane-smoke-sink

# --- cleanup on every exit path ---------------------------------------------
pa_pid=
pa_dir=
run_dir=
lock_fd_open=
cur_prefix=

stop_pulse() {
    if [ -n "$pa_pid" ]; then
        kill -TERM "$pa_pid" 2>/dev/null
        i=0
        while kill -0 "$pa_pid" 2>/dev/null && [ $i -lt 50 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        kill -KILL "$pa_pid" 2>/dev/null
        wait "$pa_pid" 2>/dev/null
        pa_pid=
    fi
    if [ -n "$pa_dir" ]; then
        rm -rf "$pa_dir"
        pa_dir=
    fi
}

stop_wineserver() {
    # Only ever the server of this script's own prefix.
    if [ -n "$cur_prefix" ] && [ -d "$cur_prefix" ]; then
        WINEPREFIX=$cur_prefix timeout 30 wineserver -k >/dev/null 2>&1
        WINEPREFIX=$cur_prefix timeout 30 wineserver -w >/dev/null 2>&1
    fi
}

cleanup() {
    stop_pulse
    stop_wineserver
    cur_prefix=
    if [ -n "$run_dir" ]; then
        rm -rf "$run_dir"
        run_dir=
    fi
    if [ -n "$lock_fd_open" ]; then
        exec 9>&-
        lock_fd_open=
    fi
}

trap 'cleanup' EXIT
trap 'cleanup; trap - EXIT; exit 130' INT
trap 'cleanup; trap - EXIT; exit 143' TERM
trap 'cleanup; trap - EXIT; exit 129' HUP
trap 'cleanup; trap - EXIT; exit 141' PIPE

# --- helpers ------------------------------------------------------------------

# Runs a command in a clean environment for Wine: only what Wine needs, our
# own HOME, no display, debug channels off (with them on, Wine and Debian's
# wine wrapper print on stderr). Extra VAR=value pairs come first.
wine_env() {
    env -i PATH="$PATH" HOME="$home_dir" USER="${USER:-root}" \
        WINEPREFIX="$cur_prefix" WINEDEBUG=-all "$@"
}

# Makes sure the prefix of a case exists and was made by this Wine, so that
# no run prints Wine's first-run or prefix-update messages.
ensure_prefix() {
    dlls=$1
    version=$(WINEDEBUG=-all wine --version 2>/dev/null)
    marker=$cur_prefix/.brisvane-smoke-ready
    if [ -f "$marker" ] && [ "$(cat "$marker")" = "$version" ] && [ -f "$cur_prefix/system.reg" ]; then
        return 0
    fi
    echo "creating Wine prefix $cur_prefix" >&2
    stop_wineserver
    rm -rf "$cur_prefix"
    mkdir -p "$cur_prefix" || return 1
    if ! wine_env WINEDLLOVERRIDES="$dlls" timeout -k 10 "$boot_timeout" wineboot -i >"$run_dir/wineboot.log" 2>&1; then
        echo "wineboot -i failed or timed out; its output:" >&2
        cat "$run_dir/wineboot.log" >&2
        return 1
    fi
    wine_env timeout -k 10 "$boot_timeout" wineserver -w >/dev/null 2>&1
    [ -f "$cur_prefix/system.reg" ] || { echo "wineboot made no prefix in $cur_prefix" >&2; return 1; }
    printf '%s\n' "$version" >"$marker"
}

# Starts the prefix's wineserver and Wine's helper processes with their
# output thrown away, so that the program's stderr holds only its own bytes.
start_wine_session() {
    dlls=$1
    shift
    stop_wineserver
    # Bounded, so that a server left behind by a killed run goes away alone.
    wine_env timeout 30 wineserver -p$((run_timeout + 30)) >/dev/null 2>&1
    wine_env WINEDLLOVERRIDES="$dlls" "$@" timeout -k 10 "$boot_timeout" wineboot >/dev/null 2>&1 </dev/null
}

# Starts a PulseAudio server that holds only a null sink, in a private
# runtime dir. Sets pa_pid, pa_dir and pa_socket.
start_pulse() {
    pa_dir=$(mktemp -d "$work/pulse.XXXXXX") || return 1
    pa_socket=$pa_dir/run/pulse/native
    # A unix socket path must fit in 108 bytes.
    if [ ${#pa_socket} -gt 100 ]; then
        rm -rf "$pa_dir"
        pa_dir=$(mktemp -d "${TMPDIR:-/tmp}/brisvane-pulse.XXXXXX") || return 1
        pa_socket=$pa_dir/run/pulse/native
    fi
    mkdir -p "$pa_dir/run/pulse" "$pa_dir/home" "$pa_dir/config" || return 1
    chmod 700 "$pa_dir/run" "$pa_dir/run/pulse"
    printf 'autospawn = no\n' >"$pa_dir/client.conf"
    # -n: no default.pa; the null sink is loaded before the socket so that a
    # client that can connect already finds it. The outer timeout is a safety
    # net should this script be killed without running its cleanup.
    env -i PATH="$PATH" HOME="$pa_dir/home" XDG_RUNTIME_DIR="$pa_dir/run" \
        XDG_CONFIG_HOME="$pa_dir/config" PULSE_CLIENTCONFIG="$pa_dir/client.conf" \
        timeout -k 5 900 pulseaudio -n --daemonize=no --use-pid-file=no \
            --exit-idle-time=-1 --disallow-exit --disallow-module-loading \
            --disable-shm=yes --realtime=no --high-priority=no --no-cpu-limit=yes \
            --log-target=stderr \
            -L "module-null-sink sink_name=null sink_properties=device.description=$sink_description" \
            -L "module-native-protocol-unix socket=$pa_socket auth-anonymous=1 auth-cookie-enabled=0" \
            </dev/null >"$pa_dir/pulseaudio.log" 2>&1 &
    pa_pid=$!
    i=0
    limit=$((pulse_wait * 10))
    while [ ! -S "$pa_socket" ]; do
        if ! kill -0 "$pa_pid" 2>/dev/null || [ $i -ge $limit ]; then
            echo "PulseAudio did not come up; its log:" >&2
            cat "$pa_dir/pulseaudio.log" >&2
            return 1
        fi
        sleep 0.1
        i=$((i + 1))
    done
    if command -v pactl >/dev/null 2>&1; then
        if ! env -i PATH="$PATH" HOME="$pa_dir/home" PULSE_SERVER="unix:$pa_socket" \
                PULSE_CLIENTCONFIG="$pa_dir/client.conf" timeout 20 pactl info >"$pa_dir/pactl.log" 2>&1 \
           || ! grep -q '^Default Sink: null$' "$pa_dir/pactl.log"; then
            echo "PulseAudio does not answer or has no null default sink:" >&2
            cat "$pa_dir/pactl.log" "$pa_dir/pulseaudio.log" >&2
            return 1
        fi
    fi
}

# Renders bytes so that control characters (\r, \0, ...) can be seen.
show_bytes() {
    od -An -c "$1" | sed 's/^/    /'
}

# check NAME EXPECTED_STDERR_FILE : compares $run_dir/{rc,out,err}.
check() {
    name=$1
    expected=$2
    rc=$(cat "$run_dir/rc")
    ok=1
    if [ "$rc" != 1 ]; then
        ok=0
        case "$rc" in
            124|137) echo "FAIL [$name]: the program timed out after ${run_timeout}s (status $rc)" ;;
            *) echo "FAIL [$name]: exit status $rc, expected 1" ;;
        esac
    fi
    if [ -s "$run_dir/out" ]; then
        ok=0
        echo "FAIL [$name]: stdout is not empty ($(wc -c <"$run_dir/out") bytes); first bytes:"
        head -c 256 "$run_dir/out" >"$run_dir/out.head"
        show_bytes "$run_dir/out.head"
    fi
    if ! cmp -s "$expected" "$run_dir/err"; then
        ok=0
        echo "FAIL [$name]: stderr differs from the expected bytes"
        echo "  diff -u expected actual:"
        diff -u "$expected" "$run_dir/err" | sed -e '1s/.*/--- expected/' -e '2s/.*/+++ actual/' -e 's/^/    /'
        echo "  expected bytes:"
        show_bytes "$expected"
        echo "  actual bytes:"
        show_bytes "$run_dir/err"
    fi
    if [ $ok = 1 ]; then
        echo "PASS [$name]"
        return 0
    fi
    return 1
}

# Waits until the watcher has written $1 lines (or has ended).
await_lines() {
    while kill -0 "$watcher" 2>/dev/null && [ "$(wc -l <"$run_dir/out")" -lt "$1" ]; do
        sleep 0.1
    done
}

# The id of the render endpoint whose friendly name is $1, from Wine's registry.
endpoint_id_named() {
    name=$1
    shift
    wine_env WINEDLLOVERRIDES="$dlls" "$@" timeout 60 wine reg query "$render_key" /s 2>/dev/null | tr -d '\r' |
        awk -v name="$name" '
            /^HKEY_/ { n = split($0, parts, "\\"); key = parts[n - 1] }
            index($0, "{A45C254E-DF1C-4EFD-8020-67D146A850E0},14") && $NF == name { print key; exit }'
}

# run_watcher DLL_OVERRIDES [VAR=value ...] : the start line names Wine's default endpoint,
# its "PulseAudio" one, which plays to the server's default sink, the null sink. Choosing the
# null sink's own endpoint as the default output (what winecfg writes), and then no choice,
# makes Wine notify the change: a line for each. The watcher runs until it is ended.
run_watcher() {
    dlls=$1
    shift
    drivers_key='HKCU\Software\Wine\Drivers\winepulse.drv'
    render_key='HKLM\Software\Microsoft\Windows\CurrentVersion\MMDevices\Audio\Render'
    wine_env WINEDLLOVERRIDES="$dlls" "$@" timeout 60 wine reg delete "$drivers_key" /v DefaultOutput /f >/dev/null 2>&1
    : >"$run_dir/out"
    wine_env WINEDLLOVERRIDES="$dlls" "$@" \
        timeout -k 10 "$run_timeout" wine "$exe" </dev/null >"$run_dir/out" 2>"$run_dir/err" &
    watcher=$!
    await_lines 1
    wine_default=$(endpoint_id_named PulseAudio "$@")
    sink=$(endpoint_id_named "$sink_description" "$@")
    wine_env WINEDLLOVERRIDES="$dlls" "$@" timeout 60 wine reg add "$drivers_key" /v DefaultOutput \
        /d "{0.0.0.00000000}.$sink" /f >/dev/null 2>&1
    await_lines 2
    wine_env WINEDLLOVERRIDES="$dlls" "$@" timeout 60 wine reg delete "$drivers_key" /v DefaultOutput /f >/dev/null 2>&1
    await_lines 3
    stop_wineserver
    wait "$watcher" 2>/dev/null
    printf 'default\t{0.0.0.00000000}.%s\tPulseAudio\n' "$wine_default" "$sink" "$wine_default" |
        sed "2s/PulseAudio\$/$sink_description/" >"$run_dir/expected"
    if [ -n "$wine_default" ] && [ -n "$sink" ] && cmp -s "$run_dir/expected" "$run_dir/out" && [ ! -s "$run_dir/err" ]; then
        echo "PASS [watch-pulse]:"
        tr '\t' ' ' <"$run_dir/out" | sed 's/^/    /'
        return 0
    fi
    echo "FAIL [watch-pulse]: expected these lines and nothing on stderr:"
    show_bytes "$run_dir/expected"
    echo "  stdout:"
    show_bytes "$run_dir/out"
    echo "  stderr:"
    show_bytes "$run_dir/err"
    return 1
}

# run_case NAME DLL_OVERRIDES EXPECTED_TEXT [VAR=value ...]
run_case() {
    run_case_steps "$@"
    s=$?
    cleanup
    return $s
}

run_case_steps() {
    name=$1
    dlls=$2
    text=$3
    shift 3

    # The watcher's case runs in the pulse case's prefix.
    prefix_name=${name#watch-}
    if [ "$prefix_name" = pulse ] && ! command -v pulseaudio >/dev/null 2>&1; then
        echo "FAIL [$name]: pulseaudio is not installed (package 'pulseaudio'; the project's install script installs it)"
        return 2
    fi
    cur_prefix=$work/$prefix_name/wineprefix
    mkdir -p "$work/$prefix_name" || return 2
    # Serialise runs that share a prefix.
    exec 9>"$work/$prefix_name.lock" || return 2
    lock_fd_open=1
    if ! flock -w "$boot_timeout" 9; then
        echo "FAIL [$name]: could not lock $work/$prefix_name.lock" >&2
        return 2
    fi
    run_dir=$(mktemp -d "$work/$prefix_name/run.XXXXXX") || return 2

    ensure_prefix "$dlls" || return 2
    if [ "$prefix_name" = pulse ]; then
        start_pulse || return 2
        set -- "$@" XDG_RUNTIME_DIR="$pa_dir/run" PULSE_SERVER="unix:$pa_socket" \
            PULSE_CLIENTCONFIG="$pa_dir/client.conf"
    fi
    start_wine_session "$dlls" "$@"

    status=0
    if [ "$name" = watch-pulse ]; then
        run_watcher "$dlls" "$@" || status=1
    else
        printf '%s' "$text" >"$run_dir/expected"
        wine_env WINEDLLOVERRIDES="$dlls" "$@" \
            timeout -k 10 "$run_timeout" wine "$exe" </dev/null >"$run_dir/out" 2>"$run_dir/err"
        echo $? >"$run_dir/rc"
        check "$name" "$run_dir/expected" || status=1
    fi
    if [ $status != 0 ] && [ -n "$pa_dir" ]; then
        echo "  PulseAudio log:"
        sed 's/^/    /' "$pa_dir/pulseaudio.log"
    fi
    return $status
}

nl='
'
no_drivers_text="Error: failed to open default render endpoint${nl}${nl}Caused by:${nl}    0: Windows returned an error: 0x80040154${nl}    1: 0x80040154${nl}"
pulse_text="Error: failed to get capture client${nl}${nl}Caused by:${nl}    0: Windows returned an error: 0x88890003${nl}    1: 0x88890003${nl}"

result=0
if [ "$case_sel" = no-drivers ] || [ "$case_sel" = all ]; then
    run_case no-drivers "$no_drivers_dlls" "$no_drivers_text"
    s=$?
    [ $s -gt $result ] && result=$s
fi
if [ "$case_sel" = pulse ] || [ "$case_sel" = all ]; then
    run_case pulse "$pulse_dlls" "$pulse_text"
    s=$?
    [ $s -gt $result ] && result=$s
fi
if [ "$case_sel" = watch-pulse ]; then
    run_case watch-pulse "$pulse_dlls" ""
    s=$?
    [ $s -gt $result ] && result=$s
fi
exit $result
