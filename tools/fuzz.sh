#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang, replays every committed seed and
# reproducer once (a regression test), then runs each target for a short fixed
# time, all at once. A finding fails the run and names the reproducer's path.
#   tools/fuzz.sh [--build-dir DIR] [--time SECONDS] [--only TARGET] [--corpus-dir DIR]
#   tools/fuzz.sh --coverage DIR [--only TARGET]
# --corpus-dir keeps what the campaigns found there (one directory per target)
# instead of in a temporary directory. --coverage builds the targets for coverage
# instead and reports how much of each parser the corpora in DIR (one directory per
# target, as --corpus-dir leaves them) reach.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/fuzz/build"
seconds=20
only=""
corpus_dir=""
coverage=""
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --time) seconds=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --corpus-dir) corpus_dir=$2; shift 2 ;;
    --coverage) coverage=$2; shift 2 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

"$root/tools/setup.sh"

jobs=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}
cmake_args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
if [ -n "$coverage" ]; then
  [ "$build" != "$root/fuzz/build" ] || build="$root/fuzz/build-coverage"
  cmake_args+=(-DZEK_FUZZ_COVERAGE=ON)
fi
cmake -S "$root/fuzz" -B "$build" "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

targets=()
for src in "$root"/fuzz/*_fuzzer.cc; do
  name=$(basename "$src" .cc)
  [ -z "$only" ] || [ "$name" = "$only" ] || continue
  targets+=("$name")
done
[ ${#targets[@]} -gt 0 ] || { echo "fuzz: no target named $only" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The files each target is there to exercise.
parser_files() {
  case "$1" in
    kcp_engine_fuzzer) echo src/kcp/zek_ikcp.cc ;;
    packet_reader_fuzzer) echo src/utilities/message.cc ;;
    kcp_connection_fuzzer) echo src/kcp_connection.cc src/kcp/zek_kcp_client.cc ;;
    websocket_client_fuzzer) echo src/websocket/websocket_client.cc ;;
    tcp_packet_socket_fuzzer) echo rtc_base/asynctcpsocket.cc ;;
    websocket_connection_fuzzer) echo src/websocket_connection.cc src/utilities/cycle_buffer.cc ;;
    cycle_buffer_fuzzer) echo src/utilities/cycle_buffer.cc ;;
    connection_params_fuzzer) echo src/connection.cc src/utilities/json_reader.cc ;;
    icmp_reply_fuzzer) echo src/mtu/ping.cc ;;
    certificate_fuzzer) echo rtc_base/opensslcertificate.cc rtc_base/opensslidentity.cc \
      rtc_base/sslcertificate.cc ;;
  esac
}

if [ -n "$coverage" ]; then
  for t in "${targets[@]}"; do
    [ -d "$coverage/$t" ] || continue
    LLVM_PROFILE_FILE="$work/$t.profraw" "$build/$t" -close_fd_mask=3 -runs=0 \
      "$coverage/$t" >/dev/null 2>&1 || true
    llvm-profdata merge -sparse "$work/$t.profraw" -o "$work/$t.profdata"
    files=()
    for f in $(parser_files "$t"); do files+=("$root/$f"); done
    echo "== $t"
    llvm-cov report "$build/$t" -instr-profile="$work/$t.profdata" "${files[@]}" |
      sed -E "s#$root/##"
  done
  exit 0
fi

findings="$build/findings"
rm -rf "$findings"
mkdir -p "$findings"

# The dictionaries of each target's formats.
dict_for() {
  case "$1" in
    websocket_client_fuzzer) echo websocket ;;
    websocket_connection_fuzzer) echo websocket json ;;
    connection_params_fuzzer) echo json ;;
    kcp_engine_fuzzer | kcp_connection_fuzzer) echo kcp ;;
    certificate_fuzzer) echo x509 ;;
  esac
}

# Output the code under test writes to standard output (keep-alive lines) is dropped.
common=(-close_fd_mask=1 -timeout=10 -rss_limit_mb=4096)
failed=0

# Every seed and every reproducer, once each.
for t in "${targets[@]}"; do
  for f in "$root/fuzz/corpus/$t"/* "$root/fuzz/regressions/$t"/*; do
    [ -f "$f" ] || continue
    if ! "$build/$t" "${common[@]}" "$f" >"$work/replay.log" 2>&1; then
      echo "fuzz: $t fails on $f"
      tail -n 30 "$work/replay.log"
      failed=1
    fi
  done
done

# The campaigns, in parallel.
pids=()
for t in "${targets[@]}"; do
  corpus="$work/corpus/$t"
  [ -z "$corpus_dir" ] || corpus="$corpus_dir/$t"
  mkdir -p "$corpus" "$findings/$t"
  cp -n "$root/fuzz/corpus/$t"/* "$corpus/" 2>/dev/null || true
  if [ "$t" = certificate_fuzzer ] && command -v openssl >/dev/null; then
    # Keys are made here, never stored in the tree: a key, and the seed
    # certificate with it as an identity.
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -outform DER \
      -out "$work/key.der" 2>/dev/null
    { printf '\001'; cat "$work/key.der"; } >"$corpus/key"
    cert="$root/fuzz/corpus/$t/certificate"
    size=$(($(stat -c %s "$cert") - 1))
    { printf '\002'; printf "\\$(printf %o $((size >> 8)))\\$(printf %o $((size & 255)))";
      tail -c +2 "$cert"; cat "$work/key.der"; } >"$corpus/identity"
  fi
  dict=()
  names=$(dict_for "$t")
  if [ -n "$names" ]; then
    for d in $names; do cat "$root/fuzz/dict/$d.dict"; done >"$work/$t.dict"
    dict=(-dict="$work/$t.dict")
  fi
  "$build/$t" "${common[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/$t/" "${dict[@]}" "$corpus" >"$work/$t.log" 2>&1 &
  pids+=($!)
done

for i in "${!targets[@]}"; do
  t=${targets[$i]}
  status=0
  wait "${pids[$i]}" || status=$?
  # A target that failed at once has no progress lines.
  stats=$({ grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$work/$t.log" || true; } | tail -n 1 |
    sed -E 's/^#([0-9]+)[^c]*cov: ([0-9]+) ft: ([0-9]+).*/\1 runs, coverage \2, features \3/')
  found=$(find "$findings/$t" -type f | head -n 1)
  if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    echo "fuzz: $t found a fault; reproducer: ${found:-(none written)}"
    echo "fuzz: once mended, keep it as fuzz/regressions/$t/<name> beside a test of the component"
    grep -E -A 12 'oracle failed|ERROR: |runtime error' "$work/$t.log" | head -n 40
    failed=1
  else
    echo "fuzz: $t: $stats"
  fi
done

exit "$failed"
