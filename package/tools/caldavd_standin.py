#!/usr/bin/python3
"""The package's CardDAV daemon: Radicale with the package's plugins (package/carddav) serving
the address books of the daemon's database, on the ports of its property-list configuration.

caldavd_standin.py --plist PLIST --pidfile PIDFILE --log LOG [--cert CERT --key KEY]

Every port is bound before the process detaches; the command's exit status therefore says
whether the daemon runs (0) or could not start (1: bad configuration, port taken, no
certificate, Radicale missing). HTTP serves CardDAV, or with SSL and redirection on, redirects
to the HTTPS port; HTTPS speaks TLS with the package's certificate. SIGTERM stops it.
The program keeps the name the start/stop script and the appliance know it by.
"""
import argparse
import os
import plistlib
import signal
import ssl
import sys
import threading
import xml.parsers.expat

# The plugins: beside the package's lib/ in an installed tree, else in the source tree this
# script is linked from.
_here = os.path.dirname(os.path.realpath(__file__))
sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "lib", "python"),
                os.path.dirname(_here)]


def write_pidfile(path, pid):
    temp = "%s.%d" % (path, os.getpid())
    with open(temp, "w") as out:
        out.write("%d\n" % pid)
    os.replace(temp, path)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plist", required=True)
    parser.add_argument("--pidfile", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    try:
        from carddav import server
    except ImportError as error:
        sys.stderr.write("caldavd: cannot load the CardDAV server: %s\n" % error)
        return 1

    try:
        settings = server.load_settings(args.plist)
    except (OSError, ValueError, plistlib.InvalidFileException,
            xml.parsers.expat.ExpatError) as error:
        sys.stderr.write("caldavd: bad configuration %s: %s\n" % (args.plist, error))
        return 1

    try:
        servers = server.bind(settings, args.cert, args.key)
    except (OSError, ssl.SSLError) as error:
        sys.stderr.write("caldavd: cannot start: %s\n" % error)
        return 1
    try:
        server.start(servers, settings)
    except Exception as error:
        sys.stderr.write("caldavd: cannot load the CardDAV server: %s\n" % error)
        for s in servers:
            s.server_close()
        return 1
    try:
        log = open(args.log, "a")
    except OSError as error:
        sys.stderr.write("caldavd: cannot start: %s\n" % error)
        for s in servers:
            s.server_close()
        return 1

    pid = os.fork()
    if pid > 0:
        write_pidfile(args.pidfile, pid)
        return 0
    os.setsid()
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    os.dup2(log.fileno(), 1)
    os.dup2(log.fileno(), 2)
    log.close()
    sys.stderr = os.fdopen(2, "w", buffering=1)
    # Descriptors inherited from whoever restarted the daemon (a web request's pipes, a lock)
    # must not stay open for the daemon's whole life.
    keep = {0, 1, 2} | {s.socket.fileno() for s in servers}
    for name in os.listdir("/proc/self/fd"):
        fd = int(name)
        if fd not in keep:
            try:
                os.close(fd)
            except OSError:
                pass

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    server.serve(servers, stop)
    try:
        with open(args.pidfile) as source:
            if source.read().strip() == str(os.getpid()):
                os.unlink(args.pidfile)
    except OSError:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
