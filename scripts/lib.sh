# Shared by the scripts: package installation and the build.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What building, testing and the demo need, from Debian 12's archive.
BASE_PACKAGES=(cmake ninja-build g++ pkg-config openssl ca-certificates
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libqt6sql6-odbc libqt6sql6-psql unixodbc unixodbc-dev
  tdsodbc odbc-postgresql libsqliteodbc postgresql
  xvfb xauth x11-utils imagemagick fonts-dejavu-core fonts-liberation fonts-crosextra-carlito)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the packages that are not there yet; quick when all are.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# build DIR [cmake options...]
build() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir"
}
