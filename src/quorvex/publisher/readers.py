"""Readers of document formats: each turns a file's content into its title and its blocks.

Each uses a well-kept parser rather than one of our own: markdown-it-py (CommonMark) for Markdown,
docutils (the reference implementation) for reStructuredText, the standard library's html.parser
for HTML, and pypdf (the optional extra "pdf") for PDF. A reader raises NotADocument, with the
reason, for content that is not a document of its format.
"""

from __future__ import annotations

import io
import logging
import re
from collections.abc import Callable
from html.parser import HTMLParser
from typing import Any, Literal

from quorvex.publisher.chunker import Block, BlockKind, text_blocks

__all__ = ["NotADocument", "READERS", "read_pdf"]

Parsed = tuple[str | None, list[Block]]
_HtmlKind = Literal["heading", "paragraph", "item", "code", "title"]


class NotADocument(Exception):
    """The content is not a document; the message is the reason, e.g. "binary"."""


def _block(blocks: list[Block], kind: BlockKind, text: str, level: int = 0, language: str = "") -> None:
    if text.strip():
        blocks.append(Block(kind, text, level, language))


def _first_heading(blocks: list[Block]) -> str | None:
    return next((b.text for b in blocks if b.kind == "heading"), None)


def read_text(text: str) -> Parsed:
    return None, text_blocks(text)


def read_markdown(text: str) -> Parsed:
    from markdown_it import MarkdownIt

    blocks: list[Block] = []
    level = items = 0
    for token in MarkdownIt("commonmark").parse(text):
        if token.type == "heading_open":
            level = int(token.tag[1:])
        elif token.type == "heading_close":
            level = 0
        elif token.type in ("list_item_open", "list_item_close"):
            items += 1 if token.type == "list_item_open" else -1
        elif token.type in ("fence", "code_block"):
            # The language is the first word of a fence's info string ("js", "console"), its characters
            # those a language name has (never a backtick, which would end the fence it is written into).
            language = re.sub(r"[^\w+.#-]", "", (token.info.split() or [""])[0])
            _block(blocks, "code", token.content, language=language)
        elif token.type == "inline":
            # The inline text without its markup: text, code spans, image descriptions and line breaks.
            shown = "".join("\n" if child.type in ("softbreak", "hardbreak") else child.content
                            for child in token.children or [] if child.type != "html_inline")
            if level:
                _block(blocks, "heading", " ".join(shown.split()), level)
            else:
                _block(blocks, "item" if items else "paragraph", shown.strip())
    return _first_heading(blocks), blocks


def read_rst(text: str) -> Parsed:
    from docutils import nodes
    from docutils.core import publish_doctree

    # No configuration files, no reports, and no directives that read other files or pass raw markup.
    doctree = publish_doctree(text, settings_overrides={
        "_disable_config": True, "report_level": 5, "halt_level": 5, "file_insertion_enabled": False,
        "raw_enabled": False, "doctitle_xform": False, "warning_stream": io.StringIO()})
    blocks: list[Block] = []

    def walk(node: Any, depth: int, in_item: bool) -> None:
        for child in node.children:
            if isinstance(child, nodes.title) and isinstance(node, nodes.section):
                _block(blocks, "heading", " ".join(child.astext().split()), depth)
            elif isinstance(child, (nodes.paragraph, nodes.title)):
                _block(blocks, "item" if in_item else "paragraph", child.astext())
            elif isinstance(child, (nodes.literal_block, nodes.doctest_block)):
                _block(blocks, "code", child.astext())
            elif isinstance(child, (nodes.system_message, nodes.comment, nodes.substitution_definition)):
                continue
            elif isinstance(child, nodes.Element):
                walk(child, depth + isinstance(child, nodes.section), in_item or isinstance(child, nodes.list_item))

    walk(doctree, 0, False)
    return _first_heading(blocks), blocks


class _HtmlBlocks(HTMLParser):
    """Blocks from html.parser's events: headings, list items, preformatted text and paragraphs
    broken at block-level elements; the text of script and style is left out."""

    _HIDDEN = {"script", "style", "template"}
    _BREAKS = {"p", "div", "section", "article", "header", "footer", "main", "nav", "aside", "blockquote",
               "table", "tr", "td", "th", "ul", "ol", "dl", "dt", "dd", "hr", "figure", "figcaption",
               "form", "body", "address", "details", "summary", "li", "pre", "title",
               "h1", "h2", "h3", "h4", "h5", "h6"}

    def __init__(self) -> None:
        super().__init__(convert_charrefs=True)
        self.blocks: list[Block] = []
        self.title: str | None = None
        self._parts: list[str] = []
        self._kind: _HtmlKind = "paragraph"
        self._level = self._hidden = 0

    def _flush(self, kind: _HtmlKind = "paragraph", level: int = 0) -> None:
        text = "".join(self._parts)
        self._parts = []
        if self._kind == "title":
            self.title = self.title or " ".join(text.split()) or None
        else:
            _block(self.blocks, self._kind, text if self._kind == "code" else " ".join(text.split()), self._level)
        self._kind, self._level = kind, level

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag in self._HIDDEN:
            self._hidden += 1
        elif tag == "br":  # a line break inside a block
            self._parts.append("\n")
        elif tag in self._BREAKS:
            heading = re.fullmatch(r"h([1-6])", tag)
            kinds: dict[str, _HtmlKind] = {"li": "item", "pre": "code", "title": "title"}
            self._flush(kinds.get(tag, "heading" if heading else "paragraph"), int(heading.group(1)) if heading else 0)

    def handle_endtag(self, tag: str) -> None:
        if tag in self._HIDDEN:
            self._hidden = max(self._hidden - 1, 0)
        elif tag in self._BREAKS:
            self._flush()

    def handle_data(self, data: str) -> None:
        if not self._hidden:
            self._parts.append(data)


def read_html(text: str) -> Parsed:
    parser = _HtmlBlocks()
    parser.feed(text)
    parser.close()
    parser._flush()
    first_h1 = next((b.text for b in parser.blocks if b.kind == "heading" and b.level == 1), None)
    return parser.title or first_h1, parser.blocks


_SURROGATE = re.compile("[\ud800-\udfff]")


def read_pdf(data: bytes) -> Parsed:
    try:
        import pypdf
    except ImportError:
        raise NotADocument("PDF needs the pdf extra: pip install 'quorvex[pdf]'") from None
    if not data.startswith(b"%PDF-"):
        raise NotADocument("not a PDF")
    # pypdf logs each repair of a damaged file as a warning; the skip, if any, says what went wrong.
    log = logging.getLogger("pypdf")
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        reader = pypdf.PdfReader(io.BytesIO(data))
        if reader.is_encrypted:
            raise NotADocument("encrypted PDF")
        title = reader.metadata.title if reader.metadata is not None else None
        # Extracted text may hold lone surrogates, which are not Unicode text.
        text = _SURROGATE.sub("\ufffd", "\n\n".join(page.extract_text() or "" for page in reader.pages))
    finally:
        log.setLevel(level)
    return (title.strip() or None) if isinstance(title, str) else None, text_blocks(text)


# Readers of text formats, by file name suffix ("" for files without one).
READERS: dict[str, Callable[[str], Parsed]] = {
    "": read_text, ".txt": read_text, ".text": read_text, ".md": read_markdown, ".markdown": read_markdown,
    ".rst": read_rst, ".html": read_html, ".htm": read_html}
