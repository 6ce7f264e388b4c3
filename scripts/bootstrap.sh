# Sourced by the other scripts: installs what the build needs on a fresh
# machine and activates the project's virtual environment.
set -euo pipefail

QEL_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QEL_SYSTEM_PACKAGES=(g++ make pkg-config zlib1g-dev libexpat1-dev nlohmann-json3-dev libgtest-dev)

qel_missing_packages() {
  local package
  for package in "${QEL_SYSTEM_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      echo "$package"
  done
}

qel_install_system_packages() {
  local missing
  missing=$(qel_missing_packages "$@")
  if [ -n "$missing" ]; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
  fi
}

qel_activate_venv() {
  if [ ! -x "$QEL_ROOT/.venv/bin/python" ]; then
    python3 -m venv "$QEL_ROOT/.venv"
  fi
  # shellcheck disable=SC1091
  source "$QEL_ROOT/.venv/bin/activate"
  python -m pip install -q --disable-pip-version-check -r "$QEL_ROOT/scripts/requirements-dev.txt"
}

# Builds and installs the package into the virtual environment.
qel_install_package() {
  python -m pip install -q --disable-pip-version-check --no-build-isolation "$@" "$QEL_ROOT"
}
