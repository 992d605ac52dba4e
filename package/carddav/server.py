"""The daemon's HTTP and HTTPS listeners around Radicale: the ports and SSL settings of the
daemon's property list, redirection of plain HTTP to HTTPS, the client's bytes and address
handed to the plugins, and the replies that only our layer can give (403 for what the book
does not allow, 429 with Retry-After when sign-ins are refused)."""
import base64
import binascii
import io
import plistlib
import socketserver
import ssl
import sys
import threading
import urllib.parse
import wsgiref.simple_server

from radicale import config as radicale_config
from radicale import log as radicale_log
from radicale.app import Application

from . import context

MAX_BODY = 100 * 1000 * 1000
REASONS = {301: "Moved Permanently", 308: "Permanent Redirect", 400: "Bad Request",
           401: "Unauthorized", 403: "Forbidden", 413: "Payload Too Large",
           429: "Too Many Requests"}


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


def radicale_application():
    configuration = radicale_config.load()
    configuration.update({
        "auth": {"type": "carddav.auth", "delay": "0", "realm": "Lumidex CardDAV"},
        "rights": {"type": "carddav.rights"},
        "storage": {"type": "carddav.storage"},
        "web": {"type": "none"},
        "logging": {"level": "warning", "mask_passwords": "True"},
    }, "lumidex caldavd", privileged=True)
    return Application(configuration)


def _reply(start_response, status, headers=(), body=b""):
    start_response("%d %s" % (status, REASONS[status]),
                   list(headers) + [("Content-Length", str(len(body)))])
    return [body]


def _basic_is_malformed(environ):
    header = environ.get("HTTP_AUTHORIZATION", "")
    if not header.startswith("Basic"):
        return False
    try:
        decoded = base64.b64decode(header[len("Basic"):].strip(), validate=True)
        decoded.decode("utf-8")
    except (binascii.Error, ValueError):
        return True
    return b":" not in decoded


def make_application(radicale_app, settings, scheme):
    port = settings["SSLPort"] if scheme == "https" else settings["HTTPPort"]
    # Unauthenticated answers name the port: a probe sees which listener it reached.
    hello = ("lumidex caldavd: %s port %d: sign in to reach your address book\n"
             % (scheme, port)).encode()

    def application(environ, start_response):
        method = environ.get("REQUEST_METHOD", "GET").upper()
        if scheme == "http" and settings["EnableSSL"] and settings["RedirectHTTPToHTTPS"]:
            host = environ.get("HTTP_HOST") or "localhost"
            host = host.rsplit(":", 1)[0] if not host.endswith("]") else host
            target = urllib.parse.quote(environ.get("PATH_INFO", "/"), safe="/@:+,;=!$&'()*~")
            if environ.get("QUERY_STRING"):
                target += "?" + environ["QUERY_STRING"]
            # 308 keeps the method and body of a DAV request; 301 is what browsers expect.
            status = 301 if method in ("GET", "HEAD") else 308
            return _reply(start_response, status,
                          [("Location", "https://%s:%d%s" % (host, settings["SSLPort"], target))])
        try:
            length = int(environ.get("CONTENT_LENGTH") or 0)
        except ValueError:
            return _reply(start_response, 400)
        if length < 0:
            return _reply(start_response, 400)
        if length > MAX_BODY:
            return _reply(start_response, 413)
        body = environ["wsgi.input"].read(length) if length else b""
        if len(body) != length:
            return _reply(start_response, 400)
        environ["wsgi.input"] = io.BytesIO(body)
        if _basic_is_malformed(environ):
            return _reply(start_response, 401,
                          [("WWW-Authenticate", 'Basic realm="Lumidex CardDAV"')], hello)
        context.begin(body, environ.get("REMOTE_ADDR", ""))

        answer = {}

        def keep(status, headers, exc_info=None):
            answer["status"], answer["headers"] = status, headers

        chunks = radicale_app(environ, keep)
        status = int(answer["status"].split(" ", 1)[0])
        refusal = context.refusal()
        if refusal:
            return _reply(start_response, refusal[0], [("Content-Type", "text/plain")],
                          (refusal[1] + "\n").encode())
        if status == 401 and context.retry_after() is not None:
            return _reply(start_response, 429, [("Retry-After", str(context.retry_after())),
                                                ("Content-Type", "text/plain")],
                          b"Too many failed sign-ins, try again later\n")
        if status == 401:
            headers = [(k, v) for k, v in answer["headers"]
                       if k.lower() not in ("content-length", "content-type",
                                            "content-encoding")]
            return _reply(start_response, 401, headers + [("Content-Type", "text/plain")],
                          hello)
        start_response(answer["status"], answer["headers"])
        return chunks

    return application


class Handler(wsgiref.simple_server.WSGIRequestHandler):
    timeout = 60  # a client that stops talking does not keep its thread forever

    def log_message(self, format, *args):
        pass  # Radicale logs what matters


class Server(socketserver.ThreadingMixIn, wsgiref.simple_server.WSGIServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128  # clients that sync many cards in parallel are not reset

    def handle_error(self, request, client_address):
        error = sys.exc_info()[1]
        sys.stderr.write("caldavd: connection from %s: %s\n" % (client_address[0], error))


def bind(settings, cert, key):
    """The listeners, bound (so that a taken port fails here, before the daemon detaches).
    Raises OSError or ssl.SSLError."""
    servers = []
    try:
        servers.append(Server(("", settings["HTTPPort"]), Handler))
        if settings["EnableSSL"]:
            if not cert or not key:
                raise OSError("SSL is on but there is no certificate")
            tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            tls.load_cert_chain(cert, key)
            https = Server(("", settings["SSLPort"]), Handler)
            # The handshake runs in the request's own thread, so a client that connects and
            # says nothing cannot hold up the others.
            https.socket = tls.wrap_socket(https.socket, server_side=True,
                                           do_handshake_on_connect=False)
            https.scheme = "https"
            servers.append(https)
    except BaseException:
        for server in servers:
            server.server_close()
        raise
    return servers


def start(servers, settings):
    """Loads Radicale and the plugins (before the daemon detaches, so that a plugin that cannot
    load fails the start) and gives each listener its application."""
    radicale_app = radicale_application()
    for server in servers:
        server.set_app(make_application(radicale_app, settings,
                                        getattr(server, "scheme", "http")))


def serve(servers, stop):
    radicale_log.setup()  # on the daemon's own standard error, its log
    threads = [threading.Thread(target=s.serve_forever, args=(0.1,), daemon=True)
               for s in servers]
    for thread in threads:
        thread.start()
    while not stop.wait(1.0):
        pass
    for server in servers:
        server.shutdown()
        server.server_close()
