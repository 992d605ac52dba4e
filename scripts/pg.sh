#!/usr/bin/env bash
# A private PostgreSQL server for tests and `make run`, listening only on a Unix socket in its
# own folder, with an empty database "caldav" holding the daemon's tables.
#   pg.sh start DIR           initialise (when new) and start a scratch server for tests and
#                             benchmarks: fsync off, so a crash of the machine may corrupt it
#   pg.sh start DIR durable   the same with PostgreSQL's own durability (fsync and
#                             full_page_writes as shipped): the server of `make run`
#   pg.sh stop DIR            stop it
# Prints the PGHOST to use.
# initdb refuses to run as root, so as root the server runs as the postgres user.
set -euo pipefail

cmd=${1:?usage: pg.sh start|stop DIR}
dir=$(realpath -m "${2:?usage: pg.sh start|stop DIR}")
mode=${3:-scratch}
here=$(cd "$(dirname "$0")" && pwd)
bindir=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bindir/initdb" ] || { echo "PostgreSQL server binaries not found" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u postgres -- "$@"; else "$@"; fi
}

case "$cmd" in
start)
  case "$mode" in
  durable) settings="-c fsync=on -c full_page_writes=on" ;;
  scratch) settings="-c fsync=off" ;;
  *) echo "usage: pg.sh start DIR [durable]" >&2; exit 2 ;;
  esac
  mkdir -p "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
  if [ ! -f "$dir/data/PG_VERSION" ]; then
    as_owner "$bindir/initdb" -D "$dir/data" -U postgres -E UTF8 --locale=C.UTF-8 \
      --auth=trust >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
    fresh=1
  fi
  # What an earlier server wrote with fsync off may still sit in the kernel's cache.
  if [ "$mode" = durable ]; then
    as_owner "$bindir/initdb" --sync-only -D "$dir/data" >/dev/null
  fi
  as_owner "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir' $settings -c timezone=UTC" \
    start >/dev/null || { cat "$dir/server.log" >&2; exit 1; }
  if [ -n "${fresh:-}" ]; then
    "$bindir/psql" -h "$dir" -U postgres -d postgres -qAt -v ON_ERROR_STOP=1 \
      -c "CREATE DATABASE caldav ENCODING 'UTF8' TEMPLATE template0" >/dev/null
    "$bindir/psql" -h "$dir" -U postgres -d caldav -q -v ON_ERROR_STOP=1 \
      -f "$here/../package/schema/caldav.sql" >/dev/null
  fi
  echo "$dir"
  ;;
stop)
  [ -f "$dir/data/postmaster.pid" ] || exit 0
  as_owner "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
  ;;
*)
  echo "usage: pg.sh start|stop DIR" >&2
  exit 2
  ;;
esac
