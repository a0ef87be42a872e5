"""Texts from files and paths, shown so that they cannot break the line they stand in."""

from __future__ import annotations

import json
import re

_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def escaped(text: str) -> str:
    """`text` on one line: control characters, other invisible characters and lone
    surrogates (bytes of a file name that are not UTF-8) as backslash escapes."""
    if text.isprintable():
        return text
    return "".join(char if char.isprintable() else _escape(char) for char in text)


def _escape(char: str) -> str:
    if char in _ESCAPES:
        return _ESCAPES[char]
    code = ord(char)
    if code < 0x100:
        return f"\\x{code:02x}"
    if code < 0x10000:
        return f"\\u{code:04x}"
    return f"\\U{code:08x}"


def shown(text: str) -> str:
    """`text` as it stands, or quoted with escapes when blanks at its ends or invisible
    characters would hide what it is."""
    if text and text == text.strip() and text.isprintable():
        return text
    return _valid_unicode(json.dumps(text, ensure_ascii=False))


_SURROGATE = re.compile("[\ud800-\udfff]")


def _valid_unicode(text: str) -> str:
    return _SURROGATE.sub(lambda match: f"\\u{ord(match.group()):04x}", text)


def json_text(value: object, *, indent: int | None = 2, ascii_only: bool = False) -> str:
    """JSON that any UTF-8 (or, with `ascii_only`, ASCII) output takes: lone surrogates,
    from file names that are not UTF-8, become \\udcXX escapes, which JSON allows."""
    return _valid_unicode(json.dumps(value, indent=indent, ensure_ascii=ascii_only))


def json_string(text: str, ascii_only: bool = False) -> str:
    """One JSON string literal, valid whatever `text` holds."""
    return _valid_unicode(json.dumps(text, ensure_ascii=ascii_only))
