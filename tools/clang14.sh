# Sourced by the checked-build scripts: makes sure clang-14 with its sanitizer and
# libFuzzer runtimes is there (installing the two Debian packages when run as root),
# and that cmake can be run (from PyPI into a venv of its own when it cannot).
# Sets CLANG_CC, CLANG_CXX and CMAKE_GENERATOR_ARGS.
need_clang14() {
  if ! command -v clang++-14 >/dev/null 2>&1 ||
     [ ! -e "$(clang-14 -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null)" ]; then
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
      echo "installing clang-14 and libclang-rt-14-dev" >&2
      apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
    fi
  fi
  if ! command -v clang++-14 >/dev/null 2>&1; then
    echo "clang-14 is missing: apt-get install -y clang-14 libclang-rt-14-dev" >&2
    return 1
  fi
  if ! cmake --version >/dev/null 2>&1; then
    # No cmake on the PATH: take it (and ninja) from PyPI into a venv of our own.
    local tools_venv="${TMPDIR:-/tmp}/sessionrows-build-tools"
    if [ ! -x "$tools_venv/bin/cmake" ]; then
      python3 -m venv "$tools_venv" && "$tools_venv/bin/pip" install -q cmake ninja >/dev/null || {
        echo "cmake is missing and could not be installed" >&2
        return 1
      }
    fi
    PATH="$tools_venv/bin:$PATH"
  fi
  CLANG_CC=clang-14
  CLANG_CXX=clang++-14
  CMAKE_GENERATOR_ARGS=()
  if ninja --version >/dev/null 2>&1; then CMAKE_GENERATOR_ARGS=(-G Ninja); fi
}
