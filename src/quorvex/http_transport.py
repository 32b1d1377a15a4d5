"""A transport that POSTs the query document to a quorvex HTTP server (standard library only).

    transport = HttpTransport("http://127.0.0.1:8765/query")
    response_bytes = transport(query_bytes)

Requests to a loopback address never go through a proxy named in the environment.
"""

from __future__ import annotations

import http.client
import ipaddress
import json
import urllib.error
import urllib.parse
import urllib.request

__all__ = ["HttpTransport", "TransportError"]

DEFAULT_TIMEOUT = 30.0
# A supported-profile response is well under 1 MiB; the limit only stops a runaway server.
DEFAULT_MAX_RESPONSE_BYTES = 64 * 1024 * 1024


class TransportError(OSError):
    """The query could not be delivered or the server refused it."""


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _server_message(error: urllib.error.HTTPError) -> str:
    try:
        return str(json.loads(error.read(64 * 1024))["error"])
    except (OSError, ValueError, KeyError, TypeError):
        return error.reason if isinstance(error.reason, str) else "no details"


class HttpTransport:
    def __init__(self, url: str, *, timeout: float = DEFAULT_TIMEOUT,
                 max_response_bytes: int = DEFAULT_MAX_RESPONSE_BYTES):
        parts = urllib.parse.urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.hostname:
            raise ValueError(f"the server URL must be an http:// or https:// URL with a host, got {url!r}")
        self.url = url
        self.timeout = timeout
        self.max_response_bytes = max_response_bytes
        handlers = [urllib.request.ProxyHandler({})] if _is_loopback(parts.hostname) else []
        self._opener = urllib.request.build_opener(*handlers)

    def __call__(self, query_document: bytes) -> bytes:
        request = urllib.request.Request(self.url, data=bytes(query_document), method="POST",
                                         headers={"Content-Type": "application/json"})
        try:
            with self._opener.open(request, timeout=self.timeout) as response:
                body = response.read(self.max_response_bytes + 1)
        except urllib.error.HTTPError as error:
            with error:
                raise TransportError(f"the server refused the query (HTTP {error.code}): "
                                     f"{_server_message(error)}") from None
        except urllib.error.URLError as error:
            raise TransportError(f"cannot reach {self.url}: {error.reason}") from None
        except (OSError, ValueError, http.client.HTTPException) as error:  # timeouts, resets, bad answers
            raise TransportError(f"no answer from {self.url}: {error}") from None
        if len(body) > self.max_response_bytes:
            raise TransportError(f"the server's answer exceeds {self.max_response_bytes} bytes")
        return body
