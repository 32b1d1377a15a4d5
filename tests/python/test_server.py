import json

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from quorvex import _codec, _toy_pir, profiles
from quorvex._rs_pir import RsDatabase, RsSetup
from quorvex._server_state import RECORDS_FILE, STATE_FILE
from quorvex._toy_pir import ToyDatabase, ToySetup
from quorvex.publish import publish
from quorvex.server import PirServer, QueryError
from support.corpus import make_chunks, make_embeddings
from support.reference_client import ReferenceClient


def published(tmp_path, profile, count, record_size=None, dims=4, text_bytes=20):
    chunks = make_chunks(count, text_bytes=text_bytes)
    publish(chunks, make_embeddings(count, dims), tmp_path / "public", tmp_path / "server",
            embedding_model="m", profile=profile, record_size_bytes=record_size)
    return chunks, PirServer.load(tmp_path / "server"), ReferenceClient.from_cache(tmp_path / "public")


def test_supported_store_answers_batches_of_four_only(tmp_path):
    _, server, client = published(tmp_path, None, 4, dims=384)
    assert (server.record_count, server.record_size_bytes) == (4, 1024)
    query, _ = client.batch([1, 2, 3])
    with pytest.raises(QueryError, match="requires retrieval_count 4, got 3"):
        server.answer(query)


def extreme_records(count, size):
    """Records whose lanes hold 0, 65535 and mixed values, byte patterns at both ends."""
    records = np.zeros((count, size), dtype=np.uint8)
    records[0::3] = 0xFF
    records[2::3, ::2] = 0xFF
    return records


@pytest.mark.parametrize("kind, count, size", [("toy", 4, 7), ("rs", 5, 9), ("rs", 12, 5), ("rs", 1, 4)])
@pytest.mark.parametrize("error_value", [-1, 0, 1, None])
def test_extreme_lane_values_survive_worst_case_noise(kind, count, size, error_value):
    records = extreme_records(count, size)
    if kind == "toy":
        profile, database = profiles.get_profile(profiles.TOY), ToyDatabase(ToySetup.new(count, size, 77), records)
    else:
        profile = profiles.get_profile(profiles.RS_EXPERIMENTAL)
        database = RsDatabase(RsSetup.new(count, size, 5, 2**64 - 1), records)
    server = PirServer(profile, database)
    client = ReferenceClient(database.client_hint_bytes(), seed=count)
    ids = list(range(count))
    query, contexts = client.batch(ids, error_value)
    assert client.decode(server.answer(query), contexts) == [records[i].tobytes() for i in ids]


@settings(max_examples=30, deadline=None)
@given(kind=st.sampled_from(["toy", "rs"]), count=st.integers(1, 40), size=st.integers(4, 41), data=st.data())
def test_any_store_shape_round_trips(kind, count, size, data):
    records = np.frombuffer(data.draw(st.binary(min_size=count * size, max_size=count * size)),
                            dtype=np.uint8).reshape(count, size)
    if kind == "toy":
        profile, database = profiles.get_profile(profiles.TOY), ToyDatabase(ToySetup.new(count, size, 1), records)
    else:
        profile = profiles.get_profile(profiles.RS_EXPERIMENTAL)
        database = RsDatabase(RsSetup.new(count, size, 1, data.draw(st.integers(0, 2**64 - 1))), records)
    client = ReferenceClient(database.client_hint_bytes(), seed=size)
    ids = data.draw(st.lists(st.integers(0, count - 1), min_size=1, max_size=3))
    query, contexts = client.batch(ids)
    assert client.decode(PirServer(profile, database).answer(query.decode()), contexts) == \
        [records[i].tobytes() for i in ids]


@pytest.mark.parametrize("count, decodes", [(_toy_pir.MAX_RECORDS, True), (_toy_pir.MAX_RECORDS + 1, False)])
def test_toy_noise_bound_is_tight(monkeypatch, count, decodes):
    # All bytes 255 and every error +1: the noise is 255 x record_count, the worst case.
    monkeypatch.setattr(_toy_pir, "MAX_RECORDS", count)
    records = np.full((count, 4), 0xFF, dtype=np.uint8)
    database = ToyDatabase(ToySetup.new(count, 4, 3), records)
    client = ReferenceClient(database.client_hint_bytes())
    query, contexts = client.batch([count - 1], error_value=1)
    record = client.decode(PirServer(profiles.get_profile(profiles.TOY), database).answer(query), contexts)[0]
    assert (record == b"\xff" * 4) is decodes


@pytest.fixture(scope="module")
def small_servers(tmp_path_factory):
    servers = {}
    for profile in (profiles.TOY, profiles.RS_EXPERIMENTAL):
        _, server, client = published(tmp_path_factory.mktemp(profile), profile, 5)
        servers[profile] = (server, client)
    return servers


def document(client, count=2, **changes):
    query, _ = client.batch(list(range(count)))
    doc = json.loads(query)
    for key, value in changes.items():
        if key.startswith("q_"):
            doc["queries"][0][key[2:]] = value
        else:
            doc[key] = value
    return json.dumps(doc).encode()


def payload_of(magic, values):
    return _codec.encode_payload(_codec.encode_vector(magic, np.asarray(values, dtype=np.uint64)))


@pytest.mark.parametrize("profile", [profiles.TOY, profiles.RS_EXPERIMENTAL])
@pytest.mark.parametrize("make, message", [
    (lambda c: b"not json", "batched PIR query is not valid JSON"),
    (lambda c: b"\xff\xfe", "batched PIR query is not valid JSON"),
    (lambda c: b'{"protocol_version":1,"protocol_version":1}', "duplicate field `protocol_version`"),
    (lambda c: b'{"protocol_version":NaN}', "NaN is not a JSON number"),
    (lambda c: b"[]", "batched PIR query must be a JSON object"),
    (lambda c: document(c, protocol_version=2), "batched PIR query protocol_version 2 is unsupported"),
    (lambda c: document(c, protocol_version=True), "batched PIR query protocol_version must be an unsigned integer"),
    (lambda c: document(c, scheme="other"), "batched PIR query scheme 'other' is unsupported"),
    (lambda c: document(c, retrieval_count=0, queries=[]), "retrieval_count must be greater than zero"),
    (lambda c: document(c, retrieval_count=3), "retrieval_count 3 does not match payload count 2"),
    (lambda c: document(c, retrieval_count=-1), "retrieval_count must be an unsigned integer"),
    (lambda c: document(c, queries={}), "queries must be a JSON array"),
    (lambda c: document(c, count=1, retrieval_count=257, queries=[{}] * 257), "exceeds this server's limit of 256"),
    (lambda c: document(c, q_protocol_version=3), "PIR query 0 protocol_version 3 is unsupported"),
    (lambda c: document(c, q_payload=""), "PIR query 0 payload cannot be empty"),
    (lambda c: document(c, q_payload=5), "PIR query 0 payload must be a string"),
    (lambda c: document(c, q_payload="YQ="), "PIR query 0 payload: invalid payload character ="),
    (lambda c: document(c, q_payload="Y"), "PIR query 0 payload: invalid payload length"),
    (lambda c: document(c, q_payload=payload_of(b"QVXXQ001", [1])), "PIR query 0 has an unsupported SimplePIR magic header"),
    (lambda c: document(c, q_payload=payload_of(c.query_magic(), [1] * 3)), "PIR query 0 vector length 3 does not match expected"),
])
def test_malformed_query_documents_are_refused(small_servers, profile, make, message):
    server, client = small_servers[profile]
    with pytest.raises(QueryError) as error:
        server.answer(make(client))
    assert message in str(error.value)


def test_a_query_for_the_other_backend_is_refused(small_servers):
    toy_server, toy_client = small_servers[profiles.TOY]
    rs_server, rs_client = small_servers[profiles.RS_EXPERIMENTAL]
    with pytest.raises(QueryError, match="unsupported SimplePIR magic header"):
        rs_server.answer(toy_client.batch([0])[0])
    with pytest.raises(QueryError, match="unsupported SimplePIR magic header"):
        toy_server.answer(rs_client.batch([0])[0])


@pytest.mark.parametrize("damage, message", [
    (lambda d: (d / RECORDS_FILE).write_bytes((d / RECORDS_FILE).read_bytes()[:-1] + b"\1"),
     "does not match its recorded checksum"),
    (lambda d: (d / STATE_FILE).write_text("{}"), "is not a quorvex-server-state-v0 file"),
    (lambda d: (d / STATE_FILE).unlink(), "cannot read server state"),
])
def test_damaged_server_state_is_refused(tmp_path, damage, message):
    published(tmp_path, profiles.TOY, 2)
    damage(tmp_path / "server")
    with pytest.raises(ValueError, match=message):
        PirServer.load(tmp_path / "server")
