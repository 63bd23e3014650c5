#!/usr/bin/env bash
# Builds the core and runs the demo: it connects through the C API, prints every event
# and received message, and sends each line of standard input as a text message.
#   tools/demo.sh                  against a loopback KCP echo server it starts itself
#   tools/demo.sh --websocket      against a loopback WebSocket echo server it starts itself
#   tools/demo.sh '<json params>'  against the server the parameters name (docs/api.md)
#   tools/demo.sh --help           this text, at once: nothing is built
# Over WebSocket only JSON texts come back, so a line that is not JSON goes out as
# {"text":"<line>"}. The build's status goes to standard error. Standard output carries
# the demo's lines and the core's own ("start send keepalive conv = ...",
# "start reconnecting, connection type : ...", "recv server's keepalive..."); the core's
# log lines go to standard error.
set -euo pipefail
if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  # The comment above, from its second line to its last.
  sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"
  exit 0
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
"$root/tools/setup.sh"

echo "demo: configuring the build in $build ..." >&2
cmake -S "$root" -B "$build" >/dev/null

# Shows the build's own progress, "[ 42%] ..." (or ninja's "[12/345] ..."), as one line
# that a terminal rewrites in place, or as a line every quarter elsewhere.
show_progress() {
  local line percent shown=-1
  while IFS= read -r line; do
    if [[ $line =~ ^\[\ *([0-9]+)%\] ]]; then
      percent=${BASH_REMATCH[1]}
    elif [[ $line =~ ^\[([0-9]+)/([0-9]+)\] ]]; then
      percent=$((100 * BASH_REMATCH[1] / BASH_REMATCH[2]))
    else
      continue
    fi
    if [ -t 2 ]; then
      printf '\rdemo: building zekcore ... %3d%%' "$percent" >&2
    elif [ $((percent / 25)) -gt "$shown" ]; then
      shown=$((percent / 25))
      echo "demo: building zekcore ... $percent%" >&2
    fi
  done
  if [ -t 2 ]; then
    printf '\n' >&2
  fi
}

log="$build/demo-build.log"
echo "demo: building zekcore and the demo (a few minutes the first time) ..." >&2
start=$SECONDS
if ! cmake --build "$build" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" --target zekcore_demo 2>&1 | tee "$log" | show_progress; then
  echo "demo: the build failed; the end of its output ($log):" >&2
  tail -n 30 "$log" >&2
  exit 1
fi
echo "demo: built in $((SECONDS - start)) s; starting the demo" >&2
exec "$build/tools/demo/zekcore_demo" "$@"
