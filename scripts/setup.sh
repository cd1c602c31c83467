# Sourced by the other scripts: makes sure the system packages and the project's virtual
# environment exist. Safe to run again; it only installs what is missing.

QUILLET_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUILLET_VENV="$QUILLET_ROOT/.venv"
QUILLET_PY="$QUILLET_VENV/bin/python"
# A second environment on the newest Python the machine has (through pyenv), where the suite
# runs again: the server leans on a few private asyncio functions that a new release may change.
QUILLET_NEWEST_VENV="$QUILLET_ROOT/.venv-newest"

# tinyproxy, microsocks and nghttp2-server (nghttpd) are the client tests' proxies and HTTP/2 peer.
quillet_apt_packages=(g++ libgtest-dev g++-multilib curl nghttp2-client openssl nginx tinyproxy
  microsocks nghttp2-server)
# What building the package needs, and no more: scripts/demo installs only these (with
# requirements-build.txt), none of the test, fuzz or browser packages.
quillet_build_apt_packages=(g++)
# Only when fuzzing is asked for (QUILLET_WANT_FUZZ=1): clang and libFuzzer.
quillet_fuzz_apt_packages=(clang-14 libfuzzer-14-dev libclang-rt-14-dev)
# Only for the browser check (QUILLET_WANT_BROWSER=1, scripts/browser-check): about 350 MB,
# minutes of download, which CI's time budget does not have room for.
quillet_browser_apt_packages=(chromium)

# Installs the Debian packages named that are missing (one apt-get run for them all).
quillet_apt_install() {
  local missing=()
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== installing system packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

quillet_make_venv() {
  if [ ! -x "$QUILLET_PY" ]; then
    echo "== creating $QUILLET_VENV"
    python3 -m venv "$QUILLET_VENV"
  fi
}

quillet_setup() {
  local wanted=("${quillet_apt_packages[@]}")
  [ "${QUILLET_WANT_FUZZ:-0}" = 1 ] && wanted+=("${quillet_fuzz_apt_packages[@]}")
  [ "${QUILLET_WANT_BROWSER:-0}" = 1 ] && wanted+=("${quillet_browser_apt_packages[@]}")
  quillet_apt_install "${wanted[@]}"
  quillet_make_venv
  "$QUILLET_PY" -m pip install -q --disable-pip-version-check -r "$QUILLET_ROOT/scripts/requirements-dev.txt"
  if [ "${QUILLET_WANT_FUZZ:-0}" = 1 ]; then
    # atheris drives the Python-surface fuzz targets (scripts/fuzz-python).
    "$QUILLET_PY" -m pip install -q --disable-pip-version-check -r "$QUILLET_ROOT/scripts/requirements-fuzz.txt"
  fi
}

# Only what building and running the package needs (scripts/demo).
quillet_setup_build() {
  quillet_apt_install "${quillet_build_apt_packages[@]}"
  quillet_make_venv
  "$QUILLET_PY" -m pip install -q --disable-pip-version-check -r "$QUILLET_ROOT/scripts/requirements-build.txt"
}

# The files a build is made from; their digest, kept beside the installed build, tells whether
# that build is still theirs (quillet_build_is_current).
quillet_build_inputs=(CMakeLists.txt pyproject.toml src wire python)

quillet_sources_digest() {
  (cd "$QUILLET_ROOT" && find "${quillet_build_inputs[@]}" -type f ! -path '*/__pycache__/*' \
    -print0 | LC_ALL=C sort -z | xargs -0 sha256sum | sha256sum | cut -d' ' -f1)
}

# The stamp of the build installed in the environment of $QUILLET_PY.
quillet_build_stamp() { echo "$(dirname "$(dirname "$QUILLET_PY")")/.quillet-build-stamp"; }

# Succeeds when the installed build was made from the sources as they are now (whatever
# settings it was built with).
quillet_build_is_current() {
  local stamp
  stamp="$(quillet_build_stamp)"
  [ -x "$QUILLET_PY" ] && [ -f "$stamp" ] &&
    [ "$(head -n 1 "$stamp")" = "sources $(quillet_sources_digest)" ]
}

# Builds and installs the package into the virtual environment. Extra arguments are passed to
# pip as config settings (e.g. cmake.define.QUILLET_BUILD_PROBE=ON).
quillet_install() {
  local settings=(-C cmake.define.QUILLET_WERROR=ON)
  for s in "$@"; do settings+=(-C "$s"); done
  local stamp digest
  stamp="$(quillet_build_stamp)"
  digest="$(quillet_sources_digest)"
  rm -f "$stamp"
  "$QUILLET_PY" -m pip install -q --disable-pip-version-check --no-build-isolation \
    "${settings[@]}" "$QUILLET_ROOT" || return
  printf 'sources %s\nsettings %s\n' "$digest" "${settings[*]}" >"$stamp"
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
