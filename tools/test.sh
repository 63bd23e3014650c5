#!/usr/bin/env bash
# Installs what is missing, builds zekcore with its tests and runs every test.
#   tools/test.sh [--build-dir DIR] [--sanitize LIST] [--labels REGEX] [-- cmake args]
# It builds with CMAKE_BUILD_PARALLEL_LEVEL jobs and runs CTEST_PARALLEL_LEVEL tests at
# a time, each as many as the machine has cores when unset.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
sanitize=""
labels=""
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --sanitize) sanitize=$2; shift 2 ;;
    --labels) labels=$2; shift 2 ;;
    --) shift; extra=("$@"); break ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

"$root/tools/setup.sh"

build_jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
test_jobs=${CTEST_PARALLEL_LEVEL:-$(nproc)}
args=(-S "$root" -B "$build" -DZEK_SANITIZE="$sanitize")
if [ -n "$sanitize" ]; then
  # Sanitizer builds check the core on its own: no benchmarks, no Foundation.
  args+=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" -DZEK_BUILD_BENCH=OFF -DZEK_OBJC=OFF)
fi
cmake "${args[@]}" "${extra[@]}" >/dev/null
cmake --build "$build" -j"$build_jobs"

ctest_args=(--test-dir "$build" -j"$test_jobs" --output-on-failure --no-tests=error)
[ -n "$labels" ] && ctest_args+=(-L "$labels")
ctest "${ctest_args[@]}"
