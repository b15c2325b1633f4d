# Sourced by the scripts beside it: what every build here needs.

# The target interpreter: the pyenv-installed CPython 3.13.0.
python313() {
  local root
  root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
  local py="$root/versions/3.13.0/bin/python3.13"
  if [ ! -x "$py" ]; then
    echo "CPython 3.13.0 not found at $py (expected under pyenv)" >&2
    return 1
  fi
  echo "$py"
}

# A C++ compiler, CMake and Ninja, from Debian's packages when missing.
ensure_build_tools() {
  if ! command -v g++ >/dev/null || ! command -v cmake >/dev/null ||
     ! command -v ninja >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq g++ cmake ninja-build
  fi
}

# Debian's chromium, for the test that opens vigil_load's report in a real
# browser.
ensure_chromium() {
  if ! command -v chromium >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq chromium
  fi
}

# Debian's prometheus, for the test that has a real server scrape
# vigil_load --metrics.
ensure_prometheus() {
  if ! command -v prometheus >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends prometheus
  fi
}

# install_project VENV [EXTRAS]: pip-installs this project into the virtual
# environment VENV, e.g. install_project build/venv-test "[test]".
# The build requirements go into VENV first and the build runs without
# isolation: an isolated build gets a new environment every time, and the
# backend then starts its build folder afresh. Each environment keeps its
# own build folder, so a second install recompiles only what changed.
install_project() {
  local venv="$1" extras="${2:-}"
  local requires
  requires="$("$venv/bin/python" -c 'import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["build-system"]["requires"]))')"
  # shellcheck disable=SC2086
  "$venv/bin/python" -m pip install -q $requires cmake ninja
  "$venv/bin/python" -m pip install -q --no-build-isolation \
    -C "build-dir=build/$(basename "$venv")-{wheel_tag}" ".$extras"
}
