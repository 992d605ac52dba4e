#!/usr/bin/python3
"""Stand-in for the CardDAV daemon: listens where its property-list configuration says, so that a
settings change can be seen to take effect. It serves no address books.

caldavd_standin.py --plist PLIST --pidfile PIDFILE --log LOG [--cert CERT --key KEY]

Every port is bound before the process detaches; the command's exit status therefore says
whether the daemon runs (0) or could not start (1: bad configuration, port taken, no
certificate). On HTTP it answers every request with a short text naming the port, or, with
SSL and redirection on, with a redirect to the HTTPS port. On HTTPS it speaks TLS with the
package's certificate. SIGTERM stops it.
"""
import argparse
import http.server
import os
import plistlib
import signal
import socketserver
import ssl
import sys
import threading
import xml.parsers.expat


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def make_handler(settings, scheme):
    class Handler(http.server.BaseHTTPRequestHandler):
        server_version = "LumidexCalDAVStandIn/1.0"

        def do_GET(self):
            if scheme == "http" and settings["EnableSSL"] and settings["RedirectHTTPToHTTPS"]:
                host = (self.headers.get("Host") or "localhost").rsplit(":", 1)[0]
                self.send_response(301)
                self.send_header("Location", "https://%s:%d%s" % (host, settings["SSLPort"], self.path))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            port = settings["SSLPort"] if scheme == "https" else settings["HTTPPort"]
            body = ("lumidex caldavd stand-in: %s port %d\n" % (scheme, port)).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        do_HEAD = do_GET
        do_OPTIONS = do_GET
        do_PROPFIND = do_GET

        def log_message(self, format, *args):
            sys.stderr.write("%s %s\n" % (scheme, format % args))

    return Handler


def load_settings(path):
    with open(path, "rb") as source:
        data = plistlib.load(source)
    if not isinstance(data, dict):
        raise ValueError("not a dictionary")
    for key in ("HTTPPort", "SSLPort"):
        value = data.get(key)
        if type(value) is not int or not 1 <= value <= 65535:
            raise ValueError("%s is not a port: %r" % (key, value))
    for key in ("EnableSSL", "RedirectHTTPToHTTPS"):
        if type(data.get(key)) is not bool:
            raise ValueError("%s is not true or false" % key)
    return data


def write_pidfile(path, pid):
    temp = "%s.%d" % (path, os.getpid())
    with open(temp, "w") as out:
        out.write("%d\n" % pid)
    os.replace(temp, path)


def serve(servers, pidfile):
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    threads = [threading.Thread(target=s.serve_forever, args=(0.1,), daemon=True) for s in servers]
    for thread in threads:
        thread.start()
    while not stop.wait(1.0):
        pass
    for s in servers:
        s.shutdown()
        s.server_close()
    try:
        with open(pidfile) as source:
            if source.read().strip() == str(os.getpid()):
                os.unlink(pidfile)
    except OSError:
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--plist", required=True)
    parser.add_argument("--pidfile", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()

    try:
        settings = load_settings(args.plist)
    except (OSError, ValueError, plistlib.InvalidFileException,
            xml.parsers.expat.ExpatError) as error:
        sys.stderr.write("caldavd: bad configuration %s: %s\n" % (args.plist, error))
        return 1

    servers = []
    try:
        servers.append(Server(("", settings["HTTPPort"]), make_handler(settings, "http")))
        if settings["EnableSSL"]:
            if not args.cert or not args.key:
                raise OSError("SSL is on but there is no certificate")
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(args.cert, args.key)
            https = Server(("", settings["SSLPort"]), make_handler(settings, "https"))
            # The handshake runs in the request's own thread, so a client that connects and
            # says nothing cannot hold up the others.
            https.socket = context.wrap_socket(https.socket, server_side=True,
                                               do_handshake_on_connect=False)
            servers.append(https)
        log = open(args.log, "a")
    except (OSError, ssl.SSLError) as error:
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
    serve(servers, args.pidfile)
    return 0


if __name__ == "__main__":
    sys.exit(main())
