#!/usr/bin/env bash
# Builds the extension module with clang-14, AddressSanitizer and
# UndefinedBehaviorSanitizer (-fno-sanitize-recover=undefined), and runs the whole
# pytest suite against it with the ASan runtime preloaded into the interpreter.
#
#   tools/sanitize.sh [PYTEST_ARGS...]
#
# Leak detection is off (the interpreter keeps memory at exit by design; see
# tests/test_leaks.py for the module's own leak check). Every report, in the test
# process or in a subprocess that a test starts, fails the run: reports go to log
# files and any such file is an error. Prints one summary line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/tools/clang14.sh"
need_clang14

python="${SANITIZE_PYTHON:-python3}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

CC=$CLANG_CC CXX=$CLANG_CXX cmake -S "$root" -B "$tmp/build" "${CMAKE_GENERATOR_ARGS[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSESSIONROWS_SANITIZE=ON \
  -DPython_EXECUTABLE="$(command -v "$python")" >"$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log"; exit 1; }
cmake --build "$tmp/build" --target _core -j 2 >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }

# The package as it would be installed: the Python files and the sanitized module.
mkdir -p "$tmp/site/sessionrows"
cp "$root"/python/sessionrows/*.py "$root"/python/sessionrows/py.typed "$tmp/site/sessionrows/"
cp "$tmp"/build/_core*.so "$tmp/site/sessionrows/"

"$python" -m venv "$tmp/venv"
"$tmp/venv/bin/pip" install -q --disable-pip-version-check pytest >"$tmp/pip.log" 2>&1 || { cat "$tmp/pip.log"; exit 1; }

runtime="$(clang-14 -print-file-name=libclang_rt.asan-x86_64.so)"
mkdir -p "$tmp/reports"
export LD_PRELOAD="$runtime"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$tmp/reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$tmp/reports/ubsan"
export PYTHONPATH="$tmp/site"
export SESSIONROWS_SANITIZED=1

module=$("$tmp/venv/bin/python" -c 'import sessionrows._core as m; print(m.__file__)')
case "$module" in
  "$tmp"/site/*) ;;
  *) echo "sanitize: FAILED: imported $module instead of the sanitized build"; exit 1 ;;
esac

rc=0
(cd "$root" && "$tmp/venv/bin/python" -m pytest -q -p no:cacheprovider "$@") || rc=$?
unset LD_PRELOAD

reports=$(find "$tmp/reports" -type f | sort)
if [ -n "$reports" ]; then
  for f in $reports; do echo "--- $f"; cat "$f"; done
  echo "sanitize: FAILED: $(echo "$reports" | wc -l) sanitizer report(s), pytest exit $rc"
  exit 1
fi
if [ "$rc" != 0 ]; then
  echo "sanitize: FAILED: pytest exit $rc"
  exit 1
fi
echo "sanitize: ok, the test suite passed under ASan+UBSan with no report"
