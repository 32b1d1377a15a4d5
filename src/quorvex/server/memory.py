"""How the PIR service hands memory back to the system after bursts (glibc only; elsewhere these
do nothing).

Documents and answers of a burst are large and short-lived. glibc keeps freed memory in its
arenas, so without help a server that handled a burst stays at the burst's size.
"""

from __future__ import annotations

import ctypes


def _glibc() -> ctypes.CDLL | None:
    try:
        library = ctypes.CDLL(None)
        return library if hasattr(library, "malloc_trim") and hasattr(library, "mallopt") else None
    except OSError:
        return None


def one_malloc_arena() -> None:
    """Has every thread allocate from glibc's main arena. The engine thread would otherwise get an
    arena of its own, which glibc seldom gives back to the system: after the abuse cases of
    bench/serve_bench.py the server kept about 60 MB more."""
    if (library := _glibc()) is not None:
        library.mallopt(-8, 1)  # M_ARENA_MAX


def release_freed_memory() -> None:
    """Returns the free memory at the top and in the middle of glibc's heap to the system."""
    if (library := _glibc()) is not None:
        library.malloc_trim(0)
