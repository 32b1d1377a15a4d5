"""The server's lane data, written from blocks of padded records.

Toy and simplepir-rs stores have one column per record (quorvex.shared.formats.record_lanes).
A balanced store writes each record as 9-bit digits (computed by quorvex._engine, which the
client decodes with) and stacks records_per_column records in each column: record r sits in
column r // k, its d digits in rows (r % k) * d to (r % k) * d + d - 1; the slots after the
last record hold zero digits. So a block of records becomes whole columns as long as it holds
a multiple of k records (the last block may hold fewer).
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

import numpy as np

from quorvex import _engine
from quorvex.shared import profiles
from quorvex.shared.formats import record_lanes

__all__ = ["block_records", "lane_blocks"]


def block_records(profile: profiles.Profile, shape: dict[str, int], about: int) -> int:
    """A number of records near `about` that makes whole columns."""
    per_column = shape["records_per_column"] if profile.is_balanced else 1
    return max(1, about // per_column) * per_column


def lane_blocks(profile: profiles.Profile, shape: dict[str, int],
                blocks: Iterable[np.ndarray]) -> Iterator[np.ndarray]:
    """The lane columns (lane_rows x w u16) of consecutive blocks of padded records (n x size uint8)."""
    for records in blocks:
        if not profile.is_balanced:
            yield record_lanes(profile, records)
            continue
        count, size = records.shape
        per_column = shape["records_per_column"]
        digits = np.frombuffer(_engine.record_digits(np.ascontiguousarray(records).tobytes(), size), dtype="<u2")
        digits = digits.reshape(count, -1)
        columns = -(-count // per_column)
        stacked = np.zeros((columns * per_column, digits.shape[1]), dtype="<u2")
        stacked[:count] = digits
        yield stacked.reshape(columns, per_column, -1).transpose(1, 2, 0).reshape(-1, columns)
