#!/usr/bin/env bash
# Records what the computer plays into a WAV file with sox, until one of the two ends
# (Ctrl+C, or give a duration: `trim 0 10` after the file name).
#   ./sox.sh out.wav
# BRISVANE holds the command that starts the program (words separated by blanks).
BRISVANE=${BRISVANE:-brisvane.exe}
out=${1:-out.wav}

# shellcheck disable=SC2086  # BRISVANE is a command prefix: split it into words
$BRISVANE | sox -t raw -r 48000 -e floating-point -b 32 -c 2 -L - "$out"

# brisvane's own report (if any) went to standard error above; say how each side ended.
statuses=("${PIPESTATUS[@]}")
[ "${statuses[0]}" -eq 0 ] || echo "brisvane exited with status ${statuses[0]}" >&2
[ "${statuses[1]}" -eq 0 ] || { echo "sox exited with status ${statuses[1]}" >&2; exit "${statuses[1]}"; }
exit "${statuses[0]}"
