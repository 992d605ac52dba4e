"""What one request carries between our WSGI layer and the Radicale plugins it calls: the bytes
the client sent, its address, and the answers (a refusal, a sign-in limit) that a plugin can
only signal, since Radicale turns any exception into a 500. Each request runs in its own thread."""
import threading

_local = threading.local()


class Refused(Exception):
    """A request that this server does not carry out (a second book, a move, a property change):
    answered with `status` instead of Radicale's error reply."""

    def __init__(self, status, why):
        super().__init__(why)
        self.status = status
        _local.refusal = (status, why)


def begin(body, address):
    _local.body = body
    _local.address = address
    _local.refusal = None
    _local.retry_after = None
    _local.transaction = None


def body():
    return getattr(_local, "body", None)


def address():
    return getattr(_local, "address", "")


def refusal():
    return getattr(_local, "refusal", None)


def set_retry_after(seconds):
    _local.retry_after = seconds


def retry_after():
    return getattr(_local, "retry_after", None)


def set_transaction(transaction):
    _local.transaction = transaction


def transaction():
    return getattr(_local, "transaction", None)
