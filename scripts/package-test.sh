#!/bin/sh
# Checks the Debian package $1 as a user meets it: lintian reports no error, apt installs it
# with its dependencies, the installed server runs example 1 as the unprivileged user nobody
# from / with a fresh home folder, and a purge removes the program but leaves that user's data.
# Needs root; installs lintian when it is missing.
set -eu
[ $# -eq 1 ] || { echo "usage: $0 PACKAGE.deb" >&2; exit 2; }
deb=$(readlink -f "$1")
root=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

if ! command -v lintian >/dev/null 2>&1; then
  # A fresh machine may have no package lists yet.
  apt-get install -y -q --no-install-recommends lintian >/dev/null ||
    { apt-get update -q && apt-get install -y -q --no-install-recommends lintian >/dev/null; }
fi
echo "package-test: lintian $deb"
lintian --fail-on error "$deb"

work=$(mktemp -d)
cleanup() {
  rm -rf "$work"
  if dpkg-query -W -f='${Status}' stratdesk 2>/dev/null | grep -q "installed"; then
    apt-get purge -y -q stratdesk >/dev/null || :
  fi
}
trap cleanup EXIT

echo "package-test: apt-get install"
apt-get install -y -q "$deb" >/dev/null
[ -x /usr/bin/stratdesk-server ]
/usr/bin/stratdesk-server --version
if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze verify --man=no /usr/lib/systemd/user/stratdesk.service \
    /usr/lib/systemd/user/stratdesk-analytics.service
fi

echo "package-test: example 1 as nobody"
home="$work/home"
mkdir -p "$home"
cp "$root/scripts/installed-road.py" "$work/"
chmod 755 "$work"
chown nobody "$home"
runuser -u nobody -- env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 \
  python3 "$work/installed-road.py" /usr/bin/stratdesk-server

echo "package-test: apt-get purge"
apt-get purge -y -q stratdesk >/dev/null
for gone in /usr/bin/stratdesk-server /usr/share/stratdesk /usr/share/doc/stratdesk \
            /usr/lib/systemd/user/stratdesk.service; do
  if [ -e "$gone" ]; then
    echo "package-test: $gone is left after the purge" >&2
    exit 1
  fi
done
if [ ! -f "$home/.local/share/stratdesk/stratdesk.db" ]; then
  echo "package-test: the purge removed the user's data" >&2
  exit 1
fi
echo "package-test: passed"
