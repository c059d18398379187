#!/usr/bin/env bash
# Records what the computer plays into a WAV file with ffmpeg, until one of the two ends
# (press q or Ctrl+C in ffmpeg, or give a duration: `-t 10` after `-i pipe:`); the file is
# overwritten.
#   ./ffmpeg.sh out.wav
# BRISVANE holds the command that starts the program (words separated by blanks).
BRISVANE=${BRISVANE:-brisvane.exe}
out=${1:-out.wav}

# shellcheck disable=SC2086  # BRISVANE is a command prefix: split it into words
$BRISVANE | ffmpeg -hide_banner -loglevel warning -y -f f32le -ar 48000 -ac 2 -i pipe: -c:a pcm_f32le "$out"

# brisvane's own report (if any) went to standard error above; say how each side ended.
statuses=("${PIPESTATUS[@]}")
[ "${statuses[0]}" -eq 0 ] || echo "brisvane exited with status ${statuses[0]}" >&2
[ "${statuses[1]}" -eq 0 ] || { echo "ffmpeg exited with status ${statuses[1]}" >&2; exit "${statuses[1]}"; }
exit "${statuses[0]}"
