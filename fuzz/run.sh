#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan + UBSan) and runs each one for SECONDS
# seconds from the committed seeds, as many at once as there are processors.
#
#   fuzz/run.sh SECONDS [TARGET...]      targets: scan render prefilter columns search archive (default: all)
#
# Environment (all optional):
#   FUZZ_BUILD_DIR   build here and keep it (default: a temporary directory)
#   FUZZ_CORPUS_DIR  keep each target's grown corpus in FUZZ_CORPUS_DIR/TARGET
#   FUZZ_EXTRA_SEEDS extra seed directories, separated by ':'; a directory D that has
#                    a subdirectory named after the target gives D/TARGET to it
#   FUZZ_ARTIFACTS   where crashing inputs go (default: fuzz-artifacts in the temp dir)
#
# Exits non-zero if a target crashes, leaks, hangs (10 s per input) or breaks an
# invariant; prints one summary line.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
seconds="${1:?usage: fuzz/run.sh SECONDS [TARGET...]}"
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(scan render prefilter columns search archive)

. "$root/tools/clang14.sh"
need_clang14

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
build="${FUZZ_BUILD_DIR:-$tmp/build}"
artifacts="${FUZZ_ARTIFACTS:-$tmp/fuzz-artifacts}"
mkdir -p "$artifacts"

CC=$CLANG_CC CXX=$CLANG_CXX cmake -S "$root" -B "$build" "${CMAKE_GENERATOR_ARGS[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSESSIONROWS_PYTHON=OFF -DSESSIONROWS_FUZZ=ON >"$tmp/cmake.log" 2>&1 ||
  { cat "$tmp/cmake.log"; exit 1; }
cmake --build "$build" -j 2 >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }

max_len() {
  case "$1" in
    scan|search|archive) echo 16384 ;;
    render) echo 8192 ;;
    *) echo 4096 ;;
  esac
}

run_target() {   # TARGET: fuzzes it; its log in $tmp/TARGET.log, its exit status in $tmp/TARGET.rc
  local t="$1" corpus seeds extra d rc=0
  corpus="${FUZZ_CORPUS_DIR:+$FUZZ_CORPUS_DIR/$t}"
  corpus="${corpus:-$tmp/corpus-$t}"
  mkdir -p "$corpus"
  seeds=("$here/seeds/$t")
  [ -d "$here/seeds/$t" ] || seeds=("$here/seeds/scan")   # the search reading and the archive read whole logs
  if [ -n "${FUZZ_EXTRA_SEEDS:-}" ]; then
    IFS=: read -r -a extra <<<"$FUZZ_EXTRA_SEEDS"
    for d in "${extra[@]}"; do
      if [ -d "$d/$t" ]; then seeds+=("$d/$t"); else seeds+=("$d"); fi
    done
  fi
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len="$(max_len "$t")" \
    -dict="$here/json.dict" -print_final_stats=1 -artifact_prefix="$artifacts/$t-" \
    "$corpus" "${seeds[@]}" >"$tmp/$t.log" 2>&1 || rc=$?
  echo "$rc" >"$tmp/$t.rc"
}

at_once=$(nproc 2>/dev/null || echo 1)
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$at_once" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  echo "== fuzz_$t for ${seconds}s" >&2
  run_target "$t" &
  running=$((running + 1))
done
wait

status=0
summary=()
for t in "${targets[@]}"; do
  log="$tmp/$t.log"
  rc=$(cat "$tmp/$t.rc" 2>/dev/null || echo "?")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$rc" != 0 ]; then
    status=1
    tail -60 "$log" >&2
    summary+=("$t=FAILED(rc $rc)")
  else
    summary+=("$t=${execs:-?}execs/cov${cov:-?}")
  fi
done

if [ "$status" != 0 ]; then
  mkdir -p "$root/fuzz-artifacts"
  cp -r "$artifacts"/. "$root/fuzz-artifacts/" 2>/dev/null || true
  echo "fuzz: FAILED ${summary[*]} (crashing inputs copied to fuzz-artifacts/)"
  exit 1
fi
echo "fuzz: ok ${#targets[@]} targets x ${seconds}s: ${summary[*]}"
