#!/usr/bin/env bash
# Builds the core and runs the demo: it connects through the C API, prints every event
# and received message, and sends each line of standard input as a text message.
#   tools/demo.sh                  against a loopback KCP echo server it starts itself
#   tools/demo.sh '<json params>'  against the server the parameters name
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/setup.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target zekcore_demo >/dev/null
exec "$root/build/tools/demo/zekcore_demo" "$@"
