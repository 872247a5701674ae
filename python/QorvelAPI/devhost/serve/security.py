"""Who may drive ``serve``: only the page of this server, reached under a name of this machine.

Every request must name this server in its Host header: on a loopback address the address (and
"localhost" for 127.0.0.1), elsewhere this machine's names and addresses, plus the names given
with ``--allow-host``. That stops a page of another site whose name was rebound to this machine.

Off loopback (or with ``--token``) every request must also carry the server's random token: the
printed address holds it as ``/?token=...``; that visit sets it as an HttpOnly, SameSite=Strict
cookie and sends the browser on to ``/``. Scripts may send ``Authorization: token <token>``.

Requests from other sites are refused: a state-changing request whose Origin (or, without one,
Referer) is not this server, and any request that the browser marks as coming from another site
(``Sec-Fetch-Site``), except a plain visit of the page ``/``.
"""

from __future__ import annotations

import os

import hmac
import ipaddress
import secrets
import socket
import struct
from http.cookies import CookieError, SimpleCookie
from urllib.parse import parse_qsl, urlsplit

UNSAFE_METHODS = frozenset({"POST", "PUT", "PATCH", "DELETE"})
WILDCARDS = ("0.0.0.0", "::", "")
OWN_SITE = (None, "same-origin", "none")  # "none": typed in, a bookmark


class Refused(Exception):
    """A request answered with ``status`` and a one-line message, before or while it is routed."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _interface_addresses() -> set[str]:
    """The IPv4 and IPv6 addresses of this machine's network interfaces (Linux; none elsewhere)."""
    found: set[str] = set()
    try:
        import fcntl  # noqa: PLC0415 - POSIX only

        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            for _, name in socket.if_nameindex():
                try:
                    answer = fcntl.ioctl(probe.fileno(), 0x8915, struct.pack("256s", name.encode()[:15]))  # SIOCGIFADDR
                except OSError:
                    continue  # an interface without an IPv4 address
                found.add(socket.inet_ntoa(answer[20:24]))
    except (ImportError, OSError):
        pass
    try:
        with open("/proc/net/if_inet6", encoding="ascii") as table:
            found.update(str(ipaddress.IPv6Address(int(line.split()[0], 16))) for line in table if line.strip())
    except (OSError, ValueError):
        pass
    return found


def machine_names() -> set[str]:
    """This machine's names and addresses, as a Host header may give them (lower case)."""
    names = {"localhost", "127.0.0.1", "::1", socket.gethostname(), socket.getfqdn()}
    for name in list(names):
        try:
            names.update(str(info[4][0]) for info in socket.getaddrinfo(name, None))
        except (OSError, UnicodeError):
            continue
    names |= _interface_addresses()
    return {name.lower() for name in names if name}


def split_host(value: str) -> tuple[str, str | None]:
    """The name and port of a Host header ("name:port", "[v6]:port"); the port is None when absent."""
    value = value.strip().lower()
    if value.startswith("["):
        name, _, rest = value[1:].partition("]")
        return name, rest[1:] if rest.startswith(":") else (None if not rest else "?")
    name, colon, port = value.partition(":") if value.count(":") == 1 else (value, "", "")
    return name.rstrip("."), port if colon else None


class Guard:
    """The checks every request passes before it is routed."""

    def __init__(self, host: str, port: int, token: bool = False, allow_hosts=()):
        self.host, self.port = host, port
        self.loopback = is_loopback(host)
        if self.loopback:  # the address itself, and for 127.0.0.1 the name localhost
            names = {host, "127.0.0.1", "localhost"} if host in ("127.0.0.1", "localhost") else {host}
        else:
            names = machine_names() | ({host.lower()} if host not in WILDCARDS else set())
        self.names = names | {name.strip().lower().rstrip(".") for name in allow_hosts}
        self.token = secrets.token_urlsafe(24) if token or not self.loopback else None
        # Cookies do not tell ports apart: the port in the name keeps two servers' tokens apart.
        self.cookie = f"qorvel-serve-{port}"

    def url(self) -> str:
        """The address to open: a name of this machine for a wildcard address, with the token."""
        name = socket.gethostname() if self.host in WILDCARDS else self.host
        shown = f"[{name}]" if ":" in name else name
        return f"http://{shown}:{self.port}/" + (f"?token={self.token}" if self.token else "")

    def admit(self, method: str, path: str, query: str, headers) -> dict | None:
        """Raises Refused for a request that may not be answered. Returns the headers of a redirect
        (to ``/``, setting the token's cookie) for the visit of the printed address; else None."""
        host = headers.get("Host", "")
        self._check_host(host)
        self._check_site(method, path, headers, host)
        if self.token is None:
            return None
        if method in ("GET", "HEAD") and path == "/" and query:
            given = dict(parse_qsl(query, keep_blank_values=True)).get("token")
            if given is not None and self._matches(given):
                return {"Location": "/", "Set-Cookie": f"{self.cookie}={self.token}; HttpOnly; SameSite=Strict; Path=/"}
        if self._matches(self._cookie(headers)) or self._matches(self._authorization(headers)):
            return None
        raise Refused(403, "this server needs its token: open the address that serve printed "
                           "(it ends in /?token=...)")

    def _check_host(self, host: str) -> None:
        name, port = split_host(host)
        if name not in self.names or not (port == str(self.port) or (port is None and self.port == 80)):
            raise Refused(403, f"unexpected Host '{host}'")

    def _check_site(self, method: str, path: str, headers, host: str) -> None:
        if method in ("GET", "HEAD") and path == "/":
            return  # the page itself may be linked from anywhere
        if headers.get("Sec-Fetch-Site") not in OWN_SITE:
            raise Refused(403, "cross-site request refused")
        origin = headers.get("Origin")
        if origin is not None and urlsplit(origin).netloc != host:
            raise Refused(403, "cross-origin request refused")
        referer = headers.get("Referer")
        if method in UNSAFE_METHODS and origin is None and referer and urlsplit(referer).netloc != host:
            raise Refused(403, "cross-origin request refused")

    def _matches(self, given: str | None) -> bool:
        if self.token is None or given is None:
            return False
        return hmac.compare_digest(given.encode("utf-8", "replace"), self.token.encode())

    def _cookie(self, headers) -> str | None:
        jar: SimpleCookie = SimpleCookie()
        for line in headers.get_all("Cookie") or []:
            try:
                jar.load(line)
            except CookieError:
                continue
        morsel = jar.get(self.cookie)
        return morsel.value if morsel is not None else None

    @staticmethod
    def _authorization(headers) -> str | None:
        scheme, _, value = (headers.get("Authorization") or "").partition(" ")
        return value.strip() if scheme.lower() in ("token", "bearer") else None


def resolve_inside(root: str, relative: str) -> str:
    """The real path of ``relative`` under ``root``; Refused when it would leave ``root``."""
    if "\x00" in relative or "\\" in relative:
        raise Refused(400, "invalid character in path")
    if relative.startswith("/") or os.path.isabs(relative):
        raise Refused(403, "absolute paths are not served")
    if any(part == ".." for part in relative.split("/")):
        raise Refused(403, "paths that leave the served folder are not served")
    base = os.path.realpath(root)
    target = os.path.realpath(os.path.join(base, relative))
    if target != base and not target.startswith(base + os.sep):
        raise Refused(403, "paths that leave the served folder are not served")
    return target


__all__ = ["Guard", "Refused", "is_loopback", "machine_names", "resolve_inside", "split_host"]
