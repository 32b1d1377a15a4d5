"""The PIR service: PirServer over the native engine (quorvex._engine), its state directory and
its HTTP front (an ASGI application on uvicorn). May import quorvex.shared only.

    from quorvex.server import PirServer
    server = PirServer.load("server-state/")
    response_bytes = server.answer(query_bytes)
"""

from quorvex.server.pir_server import (
    DEFAULT_MAX_RETRIEVAL_COUNT,
    AnswerAlteration,
    PirServer,
    QueryError,
    load,
)

__all__ = ["DEFAULT_MAX_RETRIEVAL_COUNT", "AnswerAlteration", "PirServer", "QueryError", "load"]
