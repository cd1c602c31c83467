# Sourced by the other scripts: makes sure the system packages and the project's virtual
# environment exist. Safe to run again; it only installs what is missing.

QUILLET_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUILLET_VENV="$QUILLET_ROOT/.venv"
QUILLET_PY="$QUILLET_VENV/bin/python"
# A second environment on the newest Python the machine has (through pyenv), where the suite
# runs again: the server leans on a few private asyncio functions that a new release may change.
QUILLET_NEWEST_VENV="$QUILLET_ROOT/.venv-newest"

quillet_apt_packages=(g++ libgtest-dev g++-multilib curl nghttp2-client openssl nginx)
# Only when fuzzing is asked for (QUILLET_WANT_FUZZ=1): clang and libFuzzer.
quillet_fuzz_apt_packages=(clang-14 libfuzzer-14-dev libclang-rt-14-dev)
# Only for the browser check (QUILLET_WANT_BROWSER=1, scripts/browser-check): about 350 MB,
# minutes of download, which CI's time budget does not have room for.
quillet_browser_apt_packages=(chromium)

quillet_setup() {
  local missing=()
  local wanted=("${quillet_apt_packages[@]}")
  [ "${QUILLET_WANT_FUZZ:-0}" = 1 ] && wanted+=("${quillet_fuzz_apt_packages[@]}")
  [ "${QUILLET_WANT_BROWSER:-0}" = 1 ] && wanted+=("${quillet_browser_apt_packages[@]}")
  for pkg in "${wanted[@]}"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing system packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  if [ ! -x "$QUILLET_PY" ]; then
    echo "== creating $QUILLET_VENV"
    python3 -m venv "$QUILLET_VENV"
  fi
  "$QUILLET_PY" -m pip install -q --disable-pip-version-check -r "$QUILLET_ROOT/scripts/requirements-dev.txt"
  if [ "${QUILLET_WANT_FUZZ:-0}" = 1 ]; then
    # atheris drives the Python-surface fuzz targets (scripts/fuzz-python).
    "$QUILLET_PY" -m pip install -q --disable-pip-version-check -r "$QUILLET_ROOT/scripts/requirements-fuzz.txt"
  fi
}

# Builds and installs the package into the virtual environment. Extra arguments are passed to
# pip as config settings (e.g. cmake.define.QUILLET_BUILD_PROBE=ON).
quillet_install() {
  local settings=(-C cmake.define.QUILLET_WERROR=ON)
  for s in "$@"; do settings+=(-C "$s"); done
  "$QUILLET_PY" -m pip install -q --disable-pip-version-check --no-build-isolation \
    "${settings[@]}" "$QUILLET_ROOT"
}

# Builds build/fuzz: the libFuzzer targets of fuzz/ and the module itself, both instrumented for
# fuzzing with clang (scripts/fuzz runs the former, scripts/fuzz-python fuzzes the latter through
# its Python surface). One build directory, so wire/ is compiled once for both.
quillet_build_fuzz() {
  CXX=clang++-14 cmake -S "$QUILLET_ROOT" -B "$QUILLET_ROOT/build/fuzz" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_BUILD_MODULE=ON -DQUILLET_BUILD_FUZZ=ON \
    -DPython_EXECUTABLE="$QUILLET_PY" >/dev/null
  cmake --build "$QUILLET_ROOT/build/fuzz"
}

# Prints the newest CPython that pyenv has, if it is newer than the main environment's; nothing
# otherwise.
quillet_newest_python() {
  local root
  root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
  [ -d "$root/versions" ] || return 0
  # major * 1000 + minor, to compare versions as numbers
  local version='import sys; print(sys.version_info[0] * 1000 + sys.version_info[1])'
  local ours best="" best_key=0
  ours="$("$QUILLET_PY" -c "$version")"
  for py in "$root"/versions/3.*/bin/python3; do
    [ -x "$py" ] || continue
    local key
    key="$("$py" -c "$version" 2>/dev/null)" || continue
    if [ "$key" -gt "$ours" ] && [ "$key" -gt "$best_key" ]; then
      best="$py"
      best_key="$key"
    fi
  done
  [ -n "$best" ] && echo "$best"
  return 0
}

# Makes the environment of quillet_newest_python with the test requirements and the package
# built for it. Fails when there is no newer Python.
quillet_setup_newest() {
  local py
  py="$(quillet_newest_python)"
  [ -n "$py" ] || return 1
  if [ ! -x "$QUILLET_NEWEST_VENV/bin/python" ]; then
    echo "== creating $QUILLET_NEWEST_VENV from $py"
    "$py" -m venv "$QUILLET_NEWEST_VENV"
  fi
  "$QUILLET_NEWEST_VENV/bin/python" -m pip install -q --disable-pip-version-check \
    -r "$QUILLET_ROOT/scripts/requirements-dev.txt"
  QUILLET_PY="$QUILLET_NEWEST_VENV/bin/python" quillet_install "$@"
}
