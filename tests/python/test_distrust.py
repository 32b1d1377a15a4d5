import pathlib

import pytest

from quorvex.client.distrust import DistrustRecord, ServerDistrusted, state_directory
from quorvex.client.http_transport import server_address

P, Q = "a" * 64, "b" * 64
HERE, THERE = server_address("http://127.0.0.1:8765/query"), server_address("https://Example.org/x")


def refused(record: DistrustRecord, publication: str, server: str | None) -> bool:
    try:
        record.check(publication, server)
    except ServerDistrusted:
        return True
    return False


# What each record (entries written, files planted) refuses, among publications P and Q at HERE,
# THERE and through a transport without an address (None).
@pytest.mark.parametrize("entries, planted, refuses", [
    ([], {}, set()),
    ([(P, HERE)], {}, {(P, HERE), (P, None)}),
    ([(P, None)], {}, {(P, HERE), (P, THERE), (P, None)}),
    ([(P, HERE), (Q, THERE)], {}, {(P, HERE), (P, None), (Q, THERE), (Q, None)}),
    # A record that cannot be read is distrust of its publication everywhere, of every one if its name says none.
    ([], {f"{P}.any.json": b"{not json"}, {(P, HERE), (P, THERE), (P, None)}),
    ([], {f"{P}.0123456789abcdef.json": b'{"format": "quorvex-distrust-v1", "publication": "' + Q.encode() +
          b'", "server": null, "since": "x", "reason": "y"}'}, {(P, HERE), (P, THERE), (P, None)}),
    ([], {"notes.json": b"[]"}, {(p, s) for p in (P, Q) for s in (HERE, THERE, None)}),
    ([], {".hidden.json": b"[", "README": b"x"}, set()),  # files that are not records
])
def test_a_record_refuses_what_it_names_and_a_damaged_one_refuses_more_never_less(tmp_path, entries, planted,
                                                                                     refuses):
    record = DistrustRecord(tmp_path / "distrust")
    for publication, server in entries:
        record.record(publication, server, "its answer failed")
    for name, content in planted.items():
        record.directory.mkdir(exist_ok=True)
        (record.directory / name).write_bytes(content)
    cases = {(p, s) for p in (P, Q) for s in (HERE, THERE, None)}
    assert {case for case in cases if refused(record, *case)} == refuses
    # A fresh record over the same folder (another process) sees the same.
    assert {case for case in cases if refused(DistrustRecord(record.directory), *case)} == refuses
    assert not list(record.directory.glob(".*.tmp"))  # nothing staged is left behind
    record.clear()
    assert not any(refused(record, *case) for case in cases)


def test_refusals_say_when_why_and_how_to_clear_and_clearing_is_precise(tmp_path, monkeypatch):
    assert (HERE, THERE, server_address("http://[::1]/q")) == ("http://127.0.0.1:8765", "https://example.org:443",
                                                              "http://[::1]:80")
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    assert state_directory() == tmp_path / "state/quorvex"
    monkeypatch.setenv("XDG_STATE_HOME", "relative/path")  # not absolute: ignored, as the convention says
    assert state_directory() == pathlib.Path.home() / ".local/state/quorvex"
    record = DistrustRecord(tmp_path / "d")
    entry = record.record(P, HERE, "a fetched record differs")
    with pytest.raises(ServerDistrusted) as raised:
        record.check(P, HERE)
    for part in [f"quorvex sent nothing to {HERE} for publication {P}", f"on {entry.since} an answer at {HERE}",
                 "a fetched record differs", f"`quorvex distrust clear --publication {P} --server {HERE}`"]:
        assert part in str(raised.value)
    assert entry.since.endswith("Z") and (tmp_path / "d").stat().st_mode & 0o777 == 0o700
    record.record(P, THERE, "x")
    assert record.clear(Q) == [] and [e.server for e in record.clear(P, THERE)] == [THERE]
    assert refused(record, P, HERE) and not refused(record, P, THERE)
    # A record that cannot be listed cannot say that a server is trusted.
    with pytest.raises(ServerDistrusted, match="cannot read the distrust record"):
        DistrustRecord(entry.path).check(Q, THERE)  # a file, not a folder
