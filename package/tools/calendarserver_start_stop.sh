#!/bin/sh
# Starts, stops and restarts the CardDAV daemon (caldavd_standin.py, Radicale with the package's
# plugins) with the property-list configuration of the package:
#   calendarserver_start_stop.sh start|stop|restart|status
# start and restart fail (non-zero) when the daemon cannot start; status exits 3 when it is not
# running. Every path lies under LUMIDEX_ROOT when that is set.
ROOT=${LUMIDEX_ROOT:-}
while [ "${ROOT%/}" != "$ROOT" ]; do ROOT=${ROOT%/}; done
PKG="$ROOT/var/packages/Lumidex/target"
DAEMON="$PKG/tools/caldavd_standin.py"
PLIST="$PKG/etc/orva_caldavd.plist"
PIDFILE="$PKG/var/run/caldavd.pid"
LOG="$PKG/var/log/caldavd.log"
CERT="$PKG/var/ssl/server.crt"
KEY="$PKG/var/ssl/server.key"

# The daemon's pid when it runs: the pid file names a live process (not a zombie left to a
# parent that does not reap) that is our daemon, not a stranger that reused the pid.
running_pid() {
	[ -r "$PIDFILE" ] || return 1
	pid=$(cat "$PIDFILE" 2>/dev/null)
	case "$pid" in '' | *[!0-9]*) return 1 ;; esac
	[ -r "/proc/$pid/stat" ] || return 1
	state=$(sed 's/.*) //' "/proc/$pid/stat" | cut -c1)
	[ "$state" != Z ] || return 1
	tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q caldavd_standin || return 1
	echo "$pid"
}

# A self-signed certificate for HTTPS, made once. Without openssl there is none, and a
# configuration with SSL on then fails to start.
ensure_certificate() {
	[ -s "$CERT" ] && [ -s "$KEY" ] && return 0
	command -v openssl >/dev/null 2>&1 || return 0
	mkdir -p "$(dirname "$CERT")" || return 1
	openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
		-subj "/CN=lumidex-caldavd" -keyout "$KEY.new" -out "$CERT.new" >/dev/null 2>&1 &&
		chmod 600 "$KEY.new" && mv -f "$KEY.new" "$KEY" && mv -f "$CERT.new" "$CERT"
}

start() {
	if pid=$(running_pid); then
		echo "caldavd already running (pid $pid)"
		return 0
	fi
	mkdir -p "$(dirname "$PIDFILE")" "$(dirname "$LOG")" || return 1
	rm -f "$PIDFILE"
	ensure_certificate || echo "caldavd: cannot make a certificate" >&2
	if [ -s "$CERT" ] && [ -s "$KEY" ]; then
		"$DAEMON" --plist "$PLIST" --pidfile "$PIDFILE" --log "$LOG" --cert "$CERT" --key "$KEY"
	else
		"$DAEMON" --plist "$PLIST" --pidfile "$PIDFILE" --log "$LOG"
	fi
	rc=$?
	if [ $rc -ne 0 ]; then
		echo "caldavd failed to start" >&2
		return 1
	fi
	echo "caldavd started (pid $(cat "$PIDFILE"))"
}

stop() {
	if ! pid=$(running_pid); then
		rm -f "$PIDFILE"
		return 0
	fi
	kill -TERM "$pid" 2>/dev/null
	tries=0
	while running_pid >/dev/null; do
		tries=$((tries + 1))
		if [ $tries -eq 100 ]; then kill -KILL "$pid" 2>/dev/null; fi
		if [ $tries -gt 150 ]; then
			echo "caldavd (pid $pid) does not stop" >&2
			return 1
		fi
		sleep 0.1
	done
	rm -f "$PIDFILE"
	echo "caldavd stopped"
}

case "$1" in
start) start ;;
stop) stop ;;
restart) stop && start ;;
status)
	if pid=$(running_pid); then
		echo "caldavd running (pid $pid)"
	else
		echo "caldavd stopped"
		exit 3
	fi
	;;
*)
	echo "usage: $0 start|stop|restart|status" >&2
	exit 2
	;;
esac
