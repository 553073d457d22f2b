# shellcheck shell=sh
# Sourced by the install scripts: installs the Debian packages among its arguments that are not
# installed yet, through sudo unless run as root. Returns at once when every one is present.
# install_debian_packages WHO PACKAGE...
install_debian_packages() {
  who=$1
  shift
  missing=""
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing="$missing $package"
    fi
  done
  if [ -z "$missing" ]; then
    return 0
  fi

  echo "installing:$missing"
  if [ "$(id -u)" -eq 0 ]; then
    as_root=""
  elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
  else
    echo "$who: need root or sudo to install:$missing" >&2
    exit 1
  fi

  export DEBIAN_FRONTEND=noninteractive
  $as_root apt-get update -q
  # shellcheck disable=SC2086
  $as_root apt-get install -y -q --no-install-recommends $missing
}
