#!/usr/bin/env bash
# `make run`: installs what is missing, builds a release build, starts a private PostgreSQL
# server with the daemon's tables, lays out the package tree, makes sure the account "admin"
# exists, starts the CardDAV daemon on the ports of its configuration and serves the pages and
# the web API with lighttpd on 127.0.0.1, in the foreground until Ctrl-C, which stops everything.
#   LUMIDEX_PORT             port of the pages and the web API (default 5080)
#   LUMIDEX_ADMIN_PASSWORD   password for "admin" (default: the one set before, or a new
#                            one made up and printed when there is no admin yet)
#   LUMIDEX_ROOT   where the package tree is laid out (default state/root in the checkout)
#   BUILD_DIR      build folder (default build/release)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
bash "$src/scripts/deps.sh"

port=${LUMIDEX_PORT:-5080}
[[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] ||
  { echo "LUMIDEX_PORT must be a port number, not '$port'" >&2; exit 2; }
state="$src/state"
lumidex_root=$(realpath -m "${LUMIDEX_ROOT:-$state/root}")
build=$(realpath -m "${BUILD_DIR:-$src/build/release}")
mkdir -p "$state"

echo "Building in $build (log: $state/build.log) ..."
{
  cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIDEX_TESTS=OFF \
    -DLUMIDEX_BENCH=OFF && cmake --build "$build" -j"$(nproc)"
} >"$state/build.log" 2>&1 || { tail -n 40 "$state/build.log" >&2; exit 1; }

# As root the server runs as the postgres user, which must be able to reach its data folder.
pgdir="$state/pg"
if [ "$(id -u)" -eq 0 ] && ! runuser -u postgres -- test -x "$state"; then
  pgdir="/tmp/lumidex-run-pg-$(printf '%s' "$src" | cksum | cut -d' ' -f1)"
  echo "The postgres user cannot reach $state; the database lives in $pgdir instead."
fi

lighttpd_pid=
pg_started=
cleanup() {
  trap - INT TERM EXIT
  if [ -n "$lighttpd_pid" ] && kill -0 "$lighttpd_pid" 2>/dev/null; then
    kill "$lighttpd_pid" 2>/dev/null || true
    wait "$lighttpd_pid" 2>/dev/null || true
  fi
  # The CardDAV daemon (started below, or restarted by a settings change) goes too.
  local daemon="$lumidex_root/var/packages/Lumidex/target/tools/calendarserver_start_stop.sh"
  if [ -f "$daemon" ]; then
    LUMIDEX_ROOT="$lumidex_root" sh "$daemon" stop >/dev/null 2>&1 || true
  fi
  if [ -n "$pg_started" ]; then
    bash "$src/scripts/pg.sh" stop "$pgdir" || true
  fi
  echo "Stopped."
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

pg_started=1
# Everyone's contacts live here: PostgreSQL keeps its durability (the scratch servers of the
# tests and benchmarks switch fsync off).
PGHOST=$(bash "$src/scripts/pg.sh" start "$pgdir" durable)

bash "$src/scripts/layout.sh" "$lumidex_root" "$build"

# The account "admin": the given password, else the one it has, else a new one made up here.
account="$build/platform/lumidex_account"
accounts="$lumidex_root/var/packages/Lumidex/target/etc/accounts"
admin_note="the password set earlier (LUMIDEX_ADMIN_PASSWORD=... make run sets another)"
if [ -n "${LUMIDEX_ADMIN_PASSWORD:-}" ]; then
  if grep -q '^admin:' "$accounts" 2>/dev/null; then
    printf '%s\n' "$LUMIDEX_ADMIN_PASSWORD" | LUMIDEX_ROOT="$lumidex_root" "$account" passwd admin >/dev/null
  else
    printf '%s\n' "$LUMIDEX_ADMIN_PASSWORD" | LUMIDEX_ROOT="$lumidex_root" "$account" add admin >/dev/null
  fi
  admin_note="the one in LUMIDEX_ADMIN_PASSWORD"
elif ! grep -q '^admin:' "$accounts" 2>/dev/null; then
  generated=$(head -c 15 /dev/urandom | base64 | tr '+/' '-_')
  printf '%s\n' "$generated" | LUMIDEX_ROOT="$lumidex_root" "$account" add admin >/dev/null
  admin_note="$generated"
fi

# The CardDAV daemon on the ports of its configuration (the settings page changes them).
target="$lumidex_root/var/packages/Lumidex/target"
plist="$target/etc/orva_caldavd.plist"
[ -f "$plist" ] || "$target/tools/orva_calendar_conf_dump.py" --dump \
  "$target/etc/calendar_server_json.conf" "$plist"
LUMIDEX_ROOT="$lumidex_root" PGHOST="$PGHOST" sh "$target/tools/calendarserver_start_stop.sh" \
  restart >/dev/null || { echo "The CardDAV daemon did not start; see $target/var/log/caldavd.log" >&2; exit 1; }
read -r dav_http dav_https dav_ssl < <(/usr/bin/python3 -c 'import plistlib, sys
p = plistlib.load(open(sys.argv[1], "rb"))
print(p["HTTPPort"], p["SSLPort"], "on" if p["EnableSSL"] else "off")' "$plist")
host_ip=$(hostname -I 2>/dev/null | cut -d' ' -f1)
host_ip=${host_ip:-127.0.0.1}
if [ "$dav_ssl" = on ]; then
  dav_note="give a phone https://$host_ip:$dav_https/ (it accepts the self-signed certificate once)"
else
  dav_note="a phone wants HTTPS: switch SSL on in the settings page, then use https://$host_ip:$dav_https/"
fi

web="$state/lighttpd"
mkdir -p "$web/upload"
conf=$(<"$src/package/lighttpd/lighttpd.conf.in")
conf=${conf//@PORT@/"$port"}
conf=${conf//@STATE_DIR@/"$web"}
conf=${conf//@ENTRY_CGI@/"$build/platform/entry.cgi"}
conf=${conf//@AUTH_CGI@/"$build/platform/auth.cgi"}
conf=${conf//@LUMIDEX_ROOT@/"$lumidex_root"}
conf=${conf//@PGHOST@/"$PGHOST"}
printf '%s\n' "$conf" >"$web/lighttpd.conf"
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
"$lighttpd" -tt -f "$web/lighttpd.conf"

"$lighttpd" -D -f "$web/lighttpd.conf" &
lighttpd_pid=$!
pages="http://127.0.0.1:$port/"
url="http://127.0.0.1:$port/webapi/entry.cgi"
for _ in $(seq 100); do
  kill -0 "$lighttpd_pid" 2>/dev/null || { echo "lighttpd did not start (port $port taken?)" >&2; exit 1; }
  curl -s -o /dev/null "$url" && break
  sleep 0.1
done

cat <<EOM

Lumidex contacts pages: $pages
  sign in as:    admin, password: $admin_note
  add a user:    LUMIDEX_ROOT='$lumidex_root' '$account' add NAME   (asks for the password)
Web API:         $url
  package tree:  $lumidex_root
  lighttpd logs: $web/error.log, $web/access.log
  error log:     $lumidex_root/var/packages/Lumidex/target/var/log/lumidex_error.log

CardDAV (phones, mail programs, sync tools; sign in with a Lumidex account):
  http://$host_ip:$dav_http/   $dav_note
  log:           $target/var/log/caldavd.log

Try:
  curl -u admin:PASSWORD '$url?api=ORVA.ContactAndCalendar.Contacts&version=1&method=list_cards&user=alice'

Database (the daemon's tables):
  psql -h '$PGHOST' -U postgres caldav

Ctrl-C stops lighttpd, the CardDAV daemon and PostgreSQL.
EOM
wait "$lighttpd_pid"
