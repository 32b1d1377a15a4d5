"""The identity of a publication: the SHA-256 of its public cache's "checksums.json".

That file names the size and digest of every other file of the cache, the client hint (which
depends on the publication's seeds) included, so two publications share an identifier only
if their caches are the same bytes. The server state records the identifier of the cache it
was published with; a client sends its cache's identifier with each query, and a server
refuses a query made for another publication before doing any work.
"""

from __future__ import annotations

import hashlib
import pathlib

__all__ = ["PUBLICATION_HEADER", "publication_id"]

# The HTTP request header that carries the identifier.
PUBLICATION_HEADER = "Quorvex-Publication"


def publication_id(cache_dir: str | pathlib.Path) -> str:
    """The hexadecimal SHA-256 of the cache's checksums.json."""
    return hashlib.sha256((pathlib.Path(cache_dir) / "checksums.json").read_bytes()).hexdigest()
