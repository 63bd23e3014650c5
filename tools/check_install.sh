#!/usr/bin/env bash
# Proves the installed package on its own: installs a build into a temporary prefix,
# checks what its shared library exports, builds the example app against that prefix
# alone (CMake and pkg-config, each with the shared and the static library) and the
# README's app (pkg-config), checks that none of them is handed BoringSSL's headers, and
# runs each build against a loopback echo server over KCP and over WebSocket, and the
# README's app over WebSocket with TLS too.
#   tools/check_install.sh [--build-dir DIR]     (default: build, as tools/test.sh makes it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

work=$(mktemp -d)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

step() { echo "check_install: $*"; }

cmake --build "$build" -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}" \
  --target zekcore zekcore_shared zekcore_echo_server exported_symbols_test >/dev/null

prefix="$work/prefix"
step "installing into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
library=$(find "$prefix" -name libzekcore.so -print -quit)
pcdir=$(dirname "$(find "$prefix" -name zekcore.pc -print -quit)")

step "exported symbols of the installed $(basename "$library")"
ZEKCORE_LIBRARY="$library" "$build/tests/exported_symbols_test" --gtest_brief=1

# The example, built three ways against the prefix.
examples=()
for linkage in shared static; do
  step "building the example with CMake, $linkage library"
  dir="$work/cmake-$linkage"
  cmake -S "$root/examples/echo_client" -B "$dir" -DCMAKE_PREFIX_PATH="$prefix" \
    -DZEKCORE_LINKAGE="$linkage" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
  # The package must come from the prefix, not from the build tree.
  if ! grep -q "^zekcore_DIR:PATH=$prefix/" "$dir/CMakeCache.txt"; then
    echo "zekcore was not found in $prefix:" >&2
    grep "^zekcore_DIR" "$dir/CMakeCache.txt" >&2
    exit 1
  fi
  cmake --build "$dir" >/dev/null
  # The app compiles against zekcore's header alone: BoringSSL's headers would shadow
  # the system's OpenSSL for its own code.
  if grep -rq --include=flags.make /usr/include/android "$dir/CMakeFiles"; then
    echo "the CMake package hands the app BoringSSL's headers:" >&2
    grep -r --include=flags.make /usr/include/android "$dir/CMakeFiles" >&2
    exit 1
  fi
  examples+=("$dir/echo_client")
done

for linkage in shared static; do
  step "building the example with pkg-config, $linkage library"
  flags=(--cflags --libs)
  [ "$linkage" = static ] && flags+=(--static)
  mkdir -p "$work/pkg-config-$linkage" "$work/static-only"
  # An app that uses the system's OpenSSL itself gets OpenSSL's headers, not BoringSSL's.
  printf '%s\n' '#include <openssl/opensslv.h>' '#include <zekcore/libzekcore.h>' \
    '#ifdef OPENSSL_IS_BORINGSSL' '#error BoringSSL headers in the app' '#endif' \
    'int main() { return 0; }' >"$work/pkg-config-$linkage/openssl_app.cc"
  # shellcheck disable=SC2046  # pkg-config's flags are separate words
  c++ -std=c++17 -fsyntax-only "$work/pkg-config-$linkage/openssl_app.cc" \
    $(PKG_CONFIG_PATH="$pcdir" pkg-config "${flags[@]}" zekcore)
  app_pcdir=$pcdir
  if [ "$linkage" = static ]; then
    # Only the archive is there to link, as an app of the static library would have it.
    cp -r "$prefix/." "$work/static-only/"
    find "$work/static-only" -name 'libzekcore.so*' -delete
    app_pcdir=${pcdir/#"$prefix"/"$work/static-only"}
  fi
  # shellcheck disable=SC2046  # pkg-config's flags are separate words
  c++ -std=c++17 -Wall -Wextra -Werror "$root/examples/echo_client/echo_client.cc" \
    $(PKG_CONFIG_PATH="$app_pcdir" pkg-config "${flags[@]}" zekcore) \
    -o "$work/pkg-config-$linkage/echo_client"
  examples+=("$work/pkg-config-$linkage/echo_client")
done

# The app shown in the README, as a reader would copy it: its first C++ block.
step "building the README's app with pkg-config"
mkdir -p "$work/readme"
awk '/^```cpp$/ {inside = 1; next} /^```$/ {if (inside) exit} inside' "$root/README.md" \
  >"$work/readme/app.cc"
if [ ! -s "$work/readme/app.cc" ]; then
  echo "README.md shows no C++ app" >&2
  exit 1
fi
# shellcheck disable=SC2046  # pkg-config's flags are separate words
c++ -std=c++17 -Wall -Wextra -Werror "$work/readme/app.cc" \
  $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs zekcore) -o "$work/readme/app"

# The shared builds load the installed library; the static build carries the core.
for example in "${examples[@]}"; do
  loaded=$(ldd "$example" | awk '$1 ~ /^libzekcore\.so/ {print $3}')
  case "$example" in
    */cmake-static/* | */pkg-config-static/*) expected="" ;;
    *) expected="$library.0" ;;
  esac
  if [ "$(readlink -f "${loaded:-/nonexistent}")" != "$(readlink -f "${expected:-/nonexistent}")" ]; then
    echo "$example loads libzekcore from '${loaded}', expected '${expected}'" >&2
    exit 1
  fi
done

# The facade's class, when it is built: an Objective-C app links it from the installed
# shared library.
if [ -f "$prefix/include/zekcore/zekcoreAdapter.h" ]; then
  step "building an Objective-C app on the facade"
  printf '%s\n' '#import <zekcore/zekcoreAdapter.h>' \
    'int main(void) { return [ZEKCoreAdapter sharedZEKCore] != nil ? 0 : 1; }' >"$work/facade_app.m"
  libdir=$(dirname "$library")
  # shellcheck disable=SC2046  # gnustep-config's flags are separate words
  if ! gcc -x objective-c $(gnustep-config --objc-flags) -I"$prefix/include" "$work/facade_app.m" \
    -L"$libdir" -Wl,-rpath,"$libdir" -lzekcore $(gnustep-config --base-libs) \
    -o "$work/facade_app" >"$work/facade_build.out" 2>&1; then
    cat "$work/facade_build.out" >&2
    exit 1
  fi
  "$work/facade_app"
fi

step "starting the loopback echo server"
"$build/tools/demo/zekcore_echo_server" >"$work/server.out" &
server_pid=$!
for _ in $(seq 100); do
  [ "$(wc -l <"$work/server.out")" -ge 3 ] && break
  kill -0 "$server_pid" 2>/dev/null || { echo "the echo server did not start" >&2; exit 1; }
  sleep 0.1
done
kcp_port=$(awk '$1 == "kcp" {print $2}' "$work/server.out")
ws_port=$(awk '$1 == "websocket" {print $2}' "$work/server.out")
wss_port=$(awk '$1 == "wss" {print $2}' "$work/server.out")
if [ -z "$kcp_port" ] || [ -z "$ws_port" ] || [ -z "$wss_port" ]; then
  echo "the echo server printed no ports" >&2
  exit 1
fi

for example in "${examples[@]}"; do
  for transport in kcp websocket; do
    port=$kcp_port
    [ "$transport" = websocket ] && port=$ws_port
    step "running ${example#"$work"/} over $transport"
    if ! timeout 60 "$example" "$transport" 127.0.0.1 "$port" >"$work/run.out" 2>&1; then
      cat "$work/run.out" >&2
      exit 1
    fi
    sed 's/^/    /' "$work/run.out"
  done
done
# The README's app takes the parameter text; it sends one JSON text once connected and
# shows the echo.
for transport in kcp websocket wss; do
  type=$transport tls=""
  [ "$transport" = wss ] && type=websocket tls=",\"tls\":\"enable\""
  params="{\"connection_type\":\"$type\",\"server_ip\":\"127.0.0.1\","
  params+="\"server_port_kcp\":$kcp_port,\"server_port_ws\":$ws_port,\"server_port_wss\":$wss_port,"
  params+="\"account_id\":\"readme\",\"app_id\":\"readme\",\"device_type\":\"linux\","
  params+="\"token\":\"token\",\"deviceid\":\"readme-device\"$tls}"
  step "running the README's app over $transport"
  if ! timeout 60 "$work/readme/app" "$params" >"$work/run.out" 2>&1 ||
    ! grep -qx 'message {"text":"hi"}' "$work/run.out"; then
    cat "$work/run.out" >&2
    exit 1
  fi
  sed 's/^/    /' "$work/run.out"
done
step "the installed package works"
