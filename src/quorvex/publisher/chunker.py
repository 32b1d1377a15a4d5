"""Splits a text into chunks whose JSON-escaped UTF-8 form fits a byte budget.

A PIR record holds one chunk record as compact JSON, so a chunk's cost is the
number of bytes its text takes inside a JSON string: 1 for plain ASCII, 2 for a
quotation mark, reverse solidus or common control character, 6 for other control
characters, and the UTF-8 length of every other character. The cost of a text is
the sum of the costs of its characters, so the budget can be tracked with a
running sum.

Chunks end, by preference, at a paragraph break, after a sentence, at a word
boundary, and only for a word longer than the whole budget inside the word.
Python strings are sequences of code points, so a cut never falls inside a
UTF-8 encoded character. Chunks are slices of the text with the whitespace at
their ends removed; nothing but whitespace lies between consecutive chunks.
"""

from __future__ import annotations

import functools
import itertools
import json
import re

__all__ = ["MAX_CHARACTER_COST", "escaped_size", "split_text"]

# The costliest character: a control character written as \\u00XX.
MAX_CHARACTER_COST = 6

_PARAGRAPH_BREAK = re.compile(r"\n[ \t\r\f\v]*\n\s*")
_SENTENCE_END = re.compile(r"[.!?:;][\"')\]]*\s+")
_WHITESPACE = re.compile(r"\s+")  # the same characters as str.isspace

# A paragraph or sentence boundary is used only if it keeps at least this share of the
# budget in the chunk; otherwise a later word boundary gives fewer, fuller chunks.
_MIN_FILL = 0.5


@functools.lru_cache(maxsize=4096)
def _character_cost(character: str) -> int:
    escaped = json.dumps(character, ensure_ascii=False)[1:-1]
    try:
        return len(escaped.encode("utf-8"))
    except UnicodeEncodeError:
        raise ValueError(f"text holds the lone surrogate U+{ord(character):04X}, which is not valid Unicode") from None


def escaped_size(text: str) -> int:
    """Bytes that text takes inside a compact UTF-8 JSON string (without the quotes)."""
    return sum(map(_character_cost, text))


def _last_boundary_end(pattern: re.Pattern[str], text: str, start: int, end: int, earliest: int) -> int | None:
    """End of the last match of pattern inside text[start:end] that ends after earliest."""
    best = None
    for match in pattern.finditer(text, start, end):
        if match.end() > earliest:
            best = match.end()
    return best


def _cut(text: str, start: int, limit: int) -> int:
    """Where the chunk that starts at start ends, given that text[start:limit] is the most that fits.

    Whitespace right after limit costs nothing (it is dropped), so a boundary may end in it.
    """
    reach = limit
    while reach < len(text) and text[reach].isspace():
        reach += 1
    earliest = start + int((limit - start) * _MIN_FILL)
    for pattern, after in ((_PARAGRAPH_BREAK, earliest), (_SENTENCE_END, earliest), (_WHITESPACE, start)):
        cut = _last_boundary_end(pattern, text, start, reach, after)
        if cut is not None:
            return cut
    return limit  # one word longer than the budget: cut inside it, between two characters


def split_text(text: str, max_bytes: int) -> list[str]:
    """Chunks of text, each costing at most max_bytes once escaped for JSON.

    Raises ValueError for a budget below MAX_CHARACTER_COST (some character might
    then never fit) or for text that is not valid Unicode.
    """
    if max_bytes < MAX_CHARACTER_COST:
        raise ValueError(f"a chunk budget of {max_bytes} bytes is too small; at least {MAX_CHARACTER_COST} are needed")
    costs = list(itertools.accumulate(map(_character_cost, text), initial=0))
    chunks: list[str] = []
    start = _skip_whitespace(text, 0)
    while start < len(text):
        limit = _bisect_right(costs, costs[start] + max_bytes, start, len(text))
        end = len(text) if limit == len(text) else _cut(text, start, limit)
        chunks.append(text[start:end].rstrip())
        start = _skip_whitespace(text, end)
    return chunks


def _skip_whitespace(text: str, position: int) -> int:
    while position < len(text) and text[position].isspace():
        position += 1
    return position


def _bisect_right(costs: list[int], total: int, low: int, high: int) -> int:
    """The largest index i in [low, high] with costs[i] <= total (costs is non-decreasing)."""
    while low < high:
        middle = (low + high + 1) // 2
        if costs[middle] <= total:
            low = middle
        else:
            high = middle - 1
    return low
