#!/usr/bin/env bash
# Builds the extension modules (_core, _arrow and _search) with clang-14,
# AddressSanitizer and UndefinedBehaviorSanitizer (-fno-sanitize-recover=undefined),
# and runs the whole pytest suite against it with the ASan runtime preloaded into the
# interpreter.
#
#   tools/sanitize.sh [PYTEST_ARGS...]
#   tools/sanitize.sh --thread [PYTEST_ARGS...]
#
# --thread builds with ThreadSanitizer instead and runs the tests that call the
# module from several threads (default selection: -k "thread or concurrent or
# many"; give PYTEST_ARGS to point it elsewhere, e.g. at the batch tests).
#
# Leak detection is off (the interpreter keeps memory at exit by design; see
# tests/test_leaks.py for the module's own leak check). Every report, in the test
# process or in a subprocess that a test starts, fails the run: reports go to log
# files and any such file is an error. Prints one summary line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
. "$root/tools/clang14.sh"
need_clang14

mode=address
if [ "${1:-}" = "--thread" ]; then
  mode=thread
  shift
  [ $# -gt 0 ] || set -- -k "thread or concurrent or many"
fi

python="${SANITIZE_PYTHON:-python3}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

CC=$CLANG_CC CXX=$CLANG_CXX cmake -S "$root" -B "$tmp/build" "${CMAKE_GENERATOR_ARGS[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSESSIONROWS_SANITIZE=$([ $mode = address ] && echo ON || echo OFF) \
  -DSESSIONROWS_TSAN=$([ $mode = thread ] && echo ON || echo OFF) \
  -DPython_EXECUTABLE="$(command -v "$python")" >"$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log"; exit 1; }
cmake --build "$tmp/build" --target _core _arrow _search -j 2 >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }

# The package as it would be installed: its Python files (sub-packages included) and
# the sanitized modules.
mkdir -p "$tmp/site"
(cd "$root/python" && find sessionrows -name '*.py' -o -name py.typed) | while read -r f; do
  mkdir -p "$tmp/site/$(dirname "$f")" && cp "$root/python/$f" "$tmp/site/$f"
done
mkdir -p "$tmp/site/sessionrows/gitleaks"     # the redaction rules, where the wheel puts them
cp "$root"/third_party/gitleaks/gitleaks.toml "$root"/third_party/gitleaks/LICENSE "$tmp/site/sessionrows/gitleaks/"
cp "$tmp"/build/_core*.so "$tmp"/build/_arrow*.so "$tmp"/build/_search*.so "$tmp/site/sessionrows/"

"$python" -m venv "$tmp/venv"
"$tmp/venv/bin/pip" install -q --disable-pip-version-check pytest rich tomlkit 'tomli; python_version < "3.11"' >"$tmp/pip.log" 2>&1 || { cat "$tmp/pip.log"; exit 1; }

if [ $mode = thread ]; then
  # The shared TSan runtime cannot be preloaded into an uninstrumented program (it
  # crashes at start-up), so the interpreter is started from a small launcher that
  # is linked with TSan and embeds libpython; placed in the venv, it is that venv's
  # python.
  read -r include libdir version < <("$tmp/venv/bin/python" -c 'import sysconfig as s;
print(s.get_paths()["include"], s.get_config_var("LIBDIR"), s.get_config_var("LDVERSION"))')
  if [ ! -e "$libdir/libpython$version.so" ]; then
    echo "sanitize: FAILED: --thread needs a shared libpython ($libdir/libpython$version.so)"
    exit 1
  fi
  printf '#include <Python.h>\nint main(int argc, char** argv) { return Py_BytesMain(argc, argv); }\n' >"$tmp/launch.c"
  $CLANG_CC -fsanitize=thread -g -I"$include" "$tmp/launch.c" -L"$libdir" -lpython"$version" \
    -Wl,-rpath,"$libdir" -o "$tmp/venv/bin/python-tsan"
  run_python="$tmp/venv/bin/python-tsan"
else
  run_python="$tmp/venv/bin/python"
fi

mkdir -p "$tmp/reports"
if [ $mode = address ]; then
  export LD_PRELOAD="$(clang-14 -print-file-name=libclang_rt.asan-x86_64.so)"
  export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:log_path=$tmp/reports/asan"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$tmp/reports/ubsan"
else
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$tmp/reports/tsan"
fi
export PYTHONPATH="$tmp/site"
export SESSIONROWS_SANITIZED=1

for module in $("$run_python" -c 'import sessionrows._core as c, sessionrows._arrow as a, sessionrows._search as s
print(c.__file__, a.__file__, s.__file__)'); do
  case "$module" in
    "$tmp"/site/*) ;;
    *) echo "sanitize: FAILED: imported $module instead of the sanitized build"; exit 1 ;;
  esac
done

rc=0
(cd "$root" && "$run_python" -m pytest -q -p no:cacheprovider "$@") || rc=$?
unset LD_PRELOAD || true

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
if [ $mode = address ]; then
  echo "sanitize: ok, the test suite passed under ASan+UBSan with no report"
else
  echo "sanitize: ok, the selected tests passed under TSan with no report"
fi
