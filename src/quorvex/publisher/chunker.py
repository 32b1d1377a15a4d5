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

A document's structure is an ordered list of blocks (headings with their level,
paragraphs, list items, code blocks). pack_blocks fills chunks with whole blocks,
splits only a block longer than a chunk with split_text, keeps every heading with
at least the start of the block after it, and starts each chunk with its section
path: the chain of headings enclosing the chunk's first block. A code block is
written as a Markdown fence (a line of backticks, with its language where known,
before it and one after), so that examples stay whole and apart from one another;
one longer than a chunk is cut between lines, each piece fenced.
"""

from __future__ import annotations

import functools
import itertools
import json
import re
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Literal

__all__ = ["MAX_CHARACTER_COST", "Block", "escaped_size", "pack_blocks", "split_text", "text_blocks"]

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
    """Bytes that text takes inside a compact UTF-8 JSON string (without the quotes): the sum of its
    characters' costs, as JSON escapes each character on its own."""
    try:
        return len(json.dumps(text, ensure_ascii=False).encode("utf-8")) - 2
    except UnicodeEncodeError:
        return sum(map(_character_cost, text))  # which names the lone surrogate


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


BlockKind = Literal["heading", "paragraph", "item", "code"]


@dataclass(frozen=True)
class Block:
    kind: BlockKind
    text: str
    level: int = 0  # 1 for the outermost heading; 0 for other blocks
    language: str = ""  # of a code block, where its source names it ("js", "python")


# A plain-text paragraph is a heading when it is one line of at most this many characters,
# without final punctuation, and more text follows it.
_HEADING_CHARACTERS = 80
_FINAL_PUNCTUATION = ".,:;!?…"
# Blocks inside a chunk are separated by a blank line; the section path is the first line.
_SEPARATOR = "\n\n"
_SEPARATOR_COST = 4
_SECTION_JOIN = " > "


def text_blocks(text: str) -> list[Block]:
    """Plain text's structure: paragraphs separated by blank lines, short unpunctuated lines as headings
    (a heading that opens the text is its title, and encloses the later ones)."""
    paragraphs = [p.strip() for p in _PARAGRAPH_BREAK.split(text) if p.strip()]
    return [Block("heading", p, 1 if number == 0 else 2) if (number + 1 < len(paragraphs) and "\n" not in p
                                       and len(p) <= _HEADING_CHARACTERS and p[-1] not in _FINAL_PUNCTUATION)
            else Block("paragraph", p) for number, p in enumerate(paragraphs)]


def _fence(code: str) -> str:
    """A line of backticks longer than any run of backticks in the code (at least three)."""
    return "`" * max(3, max((len(run) for run in re.findall("`+", code)), default=0) + 1)


def fenced(code: str, language: str = "") -> str:
    """The code between two fence lines."""
    fence = _fence(code)
    return f"{fence}{language}\n{code}\n{fence}"


def _code(block: Block) -> str:
    return block.text.strip("\n").rstrip()


def _shown(block: Block) -> str:
    if block.kind == "code":
        return fenced(_code(block), block.language)
    text = block.text.strip()
    return "- " + text if block.kind == "item" and text else text


def _code_pieces(block: Block, max_bytes: int) -> list[str]:
    """The code of a block too long for one chunk, cut between lines into fenced pieces of at most
    max_bytes (a line longer than a piece is cut as text is)."""
    fence = _fence(_code(block))  # no piece needs a longer one
    overhead = escaped_size(f"{fence}{block.language}\n\n{fence}")
    room = max(max_bytes - overhead, MAX_CHARACTER_COST)
    pieces: list[str] = []
    lines: list[str] = []
    for line in _code(block).split("\n"):
        for part in split_text(line, room) if escaped_size(line) > room else [line]:
            if lines and escaped_size("\n".join([*lines, part])) > room:
                pieces.append("\n".join(lines))
                lines = []
            lines.append(part)
    pieces.append("\n".join(lines))
    return [fenced(piece, block.language) for piece in pieces]


@dataclass(frozen=True)
class _Unit:
    """The headings that open a block (all on its section path), and the block as shown."""
    path: tuple[str, ...]
    headings: tuple[str, ...]
    text: str
    block: Block


def _units(blocks: Sequence[Block]) -> Iterable[_Unit]:
    blocks = [b for b in blocks if b.text.strip()]
    stack: list[tuple[int, str]] = []
    opening: list[str] = []
    for number, block in enumerate(blocks):
        following = blocks[number + 1] if number + 1 < len(blocks) else None
        # A heading with no text of its own before the next heading at its level (or the end) is
        # shown as a paragraph, so that every heading kept as one opens some text.
        if block.kind == "heading" and following is not None and (following.kind != "heading"
                                                                   or following.level > block.level):
            while stack and stack[-1][0] >= block.level:
                stack.pop()
            stack.append((block.level, " ".join(block.text.split())))
            opening.append(stack[-1][1])
            continue
        shown = _shown(block) if block.kind != "heading" else " ".join(block.text.split())
        yield _Unit(tuple(text for _, text in stack), tuple(opening), shown, block)
        opening = []


def _fit_section(section: str, max_bytes: int) -> str:
    """The section path, cut from its start (keeping the innermost headings) to cost at most max_bytes."""
    if escaped_size(section) <= max_bytes:
        return section
    ellipsis = "… "
    costs = list(itertools.accumulate(map(_character_cost, reversed(section)), initial=0))
    keep = _bisect_right(costs, max_bytes - escaped_size(ellipsis), 0, len(section))
    return ellipsis + section[len(section) - keep:] if keep else ""


def pack_blocks(blocks: Sequence[Block], budget: Callable[[str], int]) -> list[tuple[str, str]]:
    """(section path, chunk text) pairs; budget(section) is the escaped bytes of text that fit a
    chunk of that section (its metadata names the section too).

    The section path costs at most a quarter of budget(""), so that every chunk keeps room for text.
    """
    section_cap = budget("") // 4
    chunks: list[tuple[str, list[str]]] = []
    room = 0  # escaped bytes still free in the last chunk
    for unit in _units(blocks):
        parts = [*unit.headings, unit.text]
        cost = sum(escaped_size(part) + _SEPARATOR_COST for part in parts)
        if chunks and cost <= room:
            chunks[-1][1].extend(parts)
            room -= cost
            continue
        section = _fit_section(_SECTION_JOIN.join(unit.path), section_cap)
        body = budget(section) - (escaped_size(section) + _SEPARATOR_COST if section else 0)
        size = escaped_size(unit.text)
        pieces = [unit.text] if size <= body else (
            _code_pieces(unit.block, body) if unit.block.kind == "code" else split_text(unit.text, body))
        chunks.extend((section, [piece]) for piece in pieces)
        room = body - escaped_size(pieces[-1])
    return [(section, _SEPARATOR.join([section, *parts] if section else parts)) for section, parts in chunks]
