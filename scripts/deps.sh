#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run, when any is missing.
# As root it runs apt-get itself; otherwise it prints the exact command and fails.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libjsoncpp-dev libsqlite3-dev libboost-dev libpq-dev uuid-dev libssl-dev libcgicc-dev libminini-dev libcrypt-dev nettle-dev
  libbrotli-dev zlib1g-dev
  libgtest-dev googletest
  postgresql lighttpd lighttpd-mod-deflate curl python3 procps openssl
  chromium chromium-driver python3-selenium
  python3-vobject libuchardet-dev
  python3-radicale python3-psycopg2 vdirsyncer python3-caldav
)
if [ -n "${LUMIDEX_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$LUMIDEX_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
