#!/usr/bin/python3
"""An independent reading of a .vcf file, for the tests to compare our reader and import with.

Prints JSON: one object per card (nested cards are cards of their own) with
  "stored": the card as a CardDAV daemon keeps it (UTF-8, a UID added when it has none, lines
            folded at 75 octets, CR LF), and
  "props":  every property as Debian's python3-vobject line parser reads it: group, upper-case
            name, parameters, bare (vCard 2.1) words and the value, quoted-printable decoded in its
            CHARSET; escapes are not undone.
Usage: vcard_oracle.py FILE
"""
import io
import json
import sys
import uuid

import vobject.base as vb

ENCODING_WORDS = {"QUOTED-PRINTABLE", "BASE64", "8BIT", "7BIT", "B", "INLINE", "URL", "CONTENT-ID", "CID"}


def decode_file(data):
    if data.startswith(b"\xff\xfe") or data.startswith(b"\xfe\xff"):
        return data.decode("utf-16")
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    for charset in ("utf-8", "shift_jis", "cp1252"):
        try:
            return data.decode(charset)
        except UnicodeDecodeError:
            continue
    return data.decode("latin-1")


def fold(line):
    """The line folded at 75 octets without splitting a character, CR LF ended."""
    out, width, current = [], 75, b""
    for ch in line:
        b = ch.encode("utf-8")
        if len(current) + len(b) > width:
            out.append(current)
            current, width = b" ", 75
        current += b
    out.append(current)
    return b"\r\n".join(out).decode("utf-8") + "\r\n"


def read(text):
    cards, stack = [], []
    for logical, _ in vb.getLogicalLines(io.StringIO(text)):
        try:
            name, params, value, group = vb.parseLine(logical)
        except vb.ParseError:
            continue  # comment lines and junk are no properties
        if name.upper() == "BEGIN" and value.strip().upper() == "VCARD":
            stack.append({"lines": [], "props": []})
            continue
        if not stack:
            continue
        if name.upper() == "END" and value.strip().upper() == "VCARD":
            cards.append(stack.pop())
            continue
        # vobject looks for the encoding word in capitals only; files write it in any case.
        params = [[p[0].upper()] if p[0].upper() == "QUOTED-PRINTABLE" else
                  [p[0]] + [v.upper() if v.upper() == "QUOTED-PRINTABLE" else v for v in p[1:]]
                  for p in params]
        try:
            line = vb.ContentLine(name, params, value, group, encoded=True)
            decoded = line.value
        except Exception:  # a value that does not decode is compared as written
            line = vb.ContentLine(name, [], value, group)
            decoded = value
        card = stack[-1]
        # A soft break into a blank line breaks nothing; the daemon keeps the line without it.
        if logical.endswith("=") and line.params.get("ENCODING") is None and \
                "quoted-printable" in logical.split(":", 1)[0].lower():
            logical = logical[:-1]
        card["lines"].append(logical)
        card["props"].append({
            "group": group or "",
            "name": name.upper(),
            "params": {k: v for k, v in line.params.items()},
            "words": [w for w in line.singletonparams],
            "types": [t for t in line.params.get("TYPE", [])]
                     + [w for w in line.singletonparams if w.upper() not in ENCODING_WORDS],
            "value": decoded,
        })
    cards.extend(reversed(stack))  # cards left open at the end of the file
    return cards


def stored(card):
    lines = ["BEGIN:VCARD\r\n"]
    for logical in card["lines"]:
        # A quoted-printable line keeps its soft breaks as they came.
        lines.append(logical.replace("\n", "\r\n") + "\r\n" if "\n" in logical else fold(logical))
    if not any(p["name"] == "UID" for p in card["props"]):
        lines.append("UID:%s\r\n" % uuid.uuid4())
    lines.append("END:VCARD\r\n")
    return "".join(lines)


def main():
    with open(sys.argv[1], "rb") as f:
        text = decode_file(f.read())
    cards = read(text)
    json.dump([{"stored": stored(c), "props": c["props"]} for c in cards], sys.stdout,
              ensure_ascii=True)


if __name__ == "__main__":
    main()
