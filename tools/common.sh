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
# (A pip build fetches CMake and Ninja from PyPI by itself if need be; the
# compiler it cannot.)
ensure_build_tools() {
  if ! command -v g++ >/dev/null || ! command -v cmake >/dev/null ||
     ! command -v ninja >/dev/null; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq g++ cmake ninja-build
  fi
}
