#!/usr/bin/python3
"""Writes the CardDAV daemon's XML property-list configuration from the package's JSON
configuration file: orva_calendar_conf_dump.py --dump JSON PLIST.

Only the "general_setting" member matters to the daemon: its ports, SSL on or off, and the
redirection of HTTP to HTTPS. The property list is replaced in one rename, so the daemon never
reads half a file. Exit status 0 on success, 1 on bad input or a failed write, 2 on bad usage.
"""
import json
import os
import plistlib
import sys
import tempfile


def fail(message, status=1):
    sys.stderr.write("orva_calendar_conf_dump: %s\n" % message)
    sys.exit(status)


def is_port(value):
    # bool is a kind of int in Python; a flag is not a port.
    return type(value) is int and 1 <= value <= 65535


def daemon_settings(conf):
    section = conf.get("general_setting") if isinstance(conf, dict) else None
    if not isinstance(section, dict):
        fail("no \"general_setting\" object in the configuration")
    for key in ("HTTPPort", "SSLPort"):
        if not is_port(section.get(key)):
            fail("\"%s\" is not a port number: %r" % (key, section.get(key)))
    for key in ("EnableSSL", "RedirectHTTPToHTTPS"):
        if type(section.get(key)) is not bool:
            fail("\"%s\" is not true or false: %r" % (key, section.get(key)))
    if section["HTTPPort"] == section["SSLPort"]:
        fail("HTTP and HTTPS share port %d" % section["HTTPPort"])
    return {
        "HTTPPort": section["HTTPPort"],
        "SSLPort": section["SSLPort"],
        "EnableSSL": section["EnableSSL"],
        "RedirectHTTPToHTTPS": section["RedirectHTTPToHTTPS"],
    }


def write_atomically(path, data):
    folder = os.path.dirname(os.path.abspath(path))
    fd, temp = tempfile.mkstemp(prefix=os.path.basename(path) + ".", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            plistlib.dump(data, out, fmt=plistlib.FMT_XML, sort_keys=True)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temp, 0o644)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except OSError:
            pass
        raise


def main(argv):
    if len(argv) != 4 or argv[1] != "--dump":
        fail("usage: orva_calendar_conf_dump.py --dump JSON PLIST", 2)
    json_path, plist_path = argv[2], argv[3]
    try:
        with open(json_path, "rb") as source:
            conf = json.loads(source.read().decode("utf-8"))
    except (OSError, ValueError) as error:
        fail("cannot read %s: %s" % (json_path, error))
    settings = daemon_settings(conf)
    try:
        write_atomically(plist_path, settings)
    except OSError as error:
        fail("cannot write %s: %s" % (plist_path, error))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
