"""Radicale rights: every account, admin included, reaches only its own home and book. The
principal is read-only; cards are written in /USER/addressbook/, and nothing else exists."""
from radicale import pathutils, rights

from .storage import BOOK


class Rights(rights.BaseRights):
    def authorization(self, user, path):
        if not user:
            return ""
        parts = [part for part in pathutils.strip_path(path).split("/") if part]
        if not parts:
            return "R"
        if parts[0] != user:
            return ""
        if len(parts) == 1:
            return "R"
        if len(parts) == 2 and parts[1] == BOOK:
            return "rw"
        return ""
