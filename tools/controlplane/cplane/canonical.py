"""JSON trees whose numbers keep their source text, and the canonical compact writer.

Command signatures cover the canonical bytes, so this writer must agree with the
agent's byte for byte: keys sorted by their UTF-8 bytes, no whitespace, numbers
emitted exactly as they were written, and a fixed, minimal set of string escapes.
"""

import json


class Number:
    """A JSON number held as its text; `1.0` and `1` stay different values."""

    __slots__ = ("text",)

    def __init__(self, text):
        self.text = str(text)

    def __eq__(self, other):
        return isinstance(other, Number) and other.text == self.text

    def __hash__(self):
        return hash(self.text)

    def __repr__(self):
        return f"Number({self.text!r})"

    def as_int(self):
        """The integer value, or None for fractions, exponents and junk."""
        t = self.text
        digits = t[1:] if t[:1] in "+-" else t
        if not digits or not digits.isascii() or not digits.isdigit():
            return None
        return int(t)


def _reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def _fix_surrogates(value):
    # The standard decoder leaves unpaired \uD800-\uDFFF escapes in the text. The
    # agent turns a lone low surrogate into U+FFFD and refuses a lone high one; do
    # the same so every tree we hold is encodable UTF-8.
    if isinstance(value, str):
        if not any(0xD800 <= ord(c) <= 0xDFFF for c in value):
            return value
        out = []
        for c in value:
            if 0xD800 <= ord(c) <= 0xDBFF:
                raise ValueError("unpaired high surrogate escape")
            out.append("\ufffd" if 0xDC00 <= ord(c) <= 0xDFFF else c)
        return "".join(out)
    if isinstance(value, list):
        return [_fix_surrogates(v) for v in value]
    if isinstance(value, dict):
        return {_fix_surrogates(k): _fix_surrogates(v) for k, v in value.items()}
    return value


def parse(data):
    """Parses a document (text or UTF-8 bytes); raises ValueError when it is not JSON.

    A later duplicate key replaces an earlier one; raw control characters inside
    strings are accepted, as the agent's scanner accepts them.
    """
    if isinstance(data, (bytes, bytearray)):
        data = bytes(data).decode("utf-8")
    value = json.loads(data, parse_int=Number, parse_float=Number,
                       parse_constant=_reject_constant, strict=False)
    return _fix_surrogates(value)


_SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t",
                  "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def _escape(text):
    out = ['"']
    for c in text:
        short = _SHORT_ESCAPES.get(c)
        if short is not None:
            out.append(short)
        elif ord(c) < 0x20:
            out.append("\\u%04x" % ord(c))
        else:
            out.append(c)
    out.append('"')
    return "".join(out)


def _write(value, out):
    if value is None:
        out.append("null")
    elif value is True:
        out.append("true")
    elif value is False:
        out.append("false")
    elif isinstance(value, Number):
        out.append(value.text)
    elif isinstance(value, int):
        out.append(str(value))
    elif isinstance(value, str):
        out.append(_escape(value))
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _write(item, out)
        out.append("]")
    elif isinstance(value, dict):
        out.append("{")
        for i, key in enumerate(sorted(value, key=lambda k: k.encode("utf-8"))):
            if i:
                out.append(",")
            out.append(_escape(key))
            out.append(":")
            _write(value[key], out)
        out.append("}")
    else:
        # Floats have no single text; callers must hand over a Number instead.
        raise TypeError(f"cannot encode {type(value).__name__} canonically")


def encode(value):
    """The canonical text of a tree of dict/list/str/int/bool/None/Number."""
    out = []
    _write(value, out)
    return "".join(out)


def encode_bytes(value):
    return encode(value).encode("utf-8")


def to_plain(value):
    """The tree with Numbers turned into int/float, for display and comparisons."""
    if isinstance(value, Number):
        n = value.as_int()
        return n if n is not None else float(value.text)
    if isinstance(value, list):
        return [to_plain(v) for v in value]
    if isinstance(value, dict):
        return {k: to_plain(v) for k, v in value.items()}
    return value
