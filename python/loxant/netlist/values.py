"""Values of netlist lines: expressions parsed once per text, lists of values,
``name=value`` options and names."""

from typing import NamedTuple

from .. import expressions as ex
from .errors import clip

__all__ = [
    "Value",
    "group_end",
    "joined",
    "options_of",
    "parse_value",
    "split_options",
    "value_of",
    "values_of",
    "words_of",
]


class Value(NamedTuple):
    """An expression as written, and parsed."""

    text: str
    tree: tuple


# -- values ----------------------------------------------------------------------------

#: expression trees, and values, of value texts already read
_TREES = {}
_VALUES = {}
_TREES_LIMIT = 100_000


def parse_value(text):
    """The tree of ``text`` (cached: large netlists repeat their values)."""
    tree = _TREES.get(text)
    if tree is None:
        tree = ex.parse(text)
        if len(_TREES) < _TREES_LIMIT:
            _TREES[text] = tree
    return tree


def group_end(tokens, start):
    """End of the value starting at ``start``: tokens joined without whitespace,
    parentheses balanced (whitespace inside parentheses allowed)."""
    depth, pos = 0, start
    while pos < len(tokens):
        tok = tokens[pos]
        if pos > start and depth == 0 and (tok.spaced or tok.kind in ",="):
            break
        if depth == 0 and tok.kind in ",=":
            break
        if tok.kind == "(":
            depth += 1
        elif tok.kind == ")":
            if depth == 0:
                break
            depth -= 1
        pos += 1
    return pos


def joined(tokens):
    parts = []
    for k, tok in enumerate(tokens):
        text = f"({tok.text})" if tok.kind == "expr" else tok.text
        parts.append((" " if k and tok.spaced else "") + text)
    return "".join(parts)


def value_of(line, tokens):
    """A :class:`Value` of the tokens of one value."""
    if len(tokens) == 1 and tokens[0].kind == "word":  # a number or a name, read before
        value = _VALUES.get(tokens[0].text)
        if value is not None:
            return value
    if not tokens:
        raise line.error("missing value")
    text = tokens[0].text if len(tokens) == 1 and tokens[0].kind == "word" else joined(tokens)
    if any(tok.kind == "string" for tok in tokens):
        raise line.error(f"a quoted string is not a value: {clip(text)}", tokens[0])
    value = _VALUES.get(text)
    if value is None:
        try:
            value = Value(text, parse_value(text))
        except ex.ExpressionError as exc:
            raise line.error(f"bad value {clip(text)!r}: {exc.message}", tokens[0]) from None
        if len(_VALUES) < _TREES_LIMIT:
            _VALUES[text] = value
    return value


def values_of(line, tokens):
    """Values of a list written with spaces or commas between its items."""
    out, pos = [], 0
    while pos < len(tokens):
        if tokens[pos].kind == ",":
            pos += 1
            continue
        end = group_end(tokens, pos)
        if end == pos:
            raise line.error(f"unexpected {clip(tokens[pos].text)!r}", tokens[pos])
        out.append(value_of(line, tokens[pos:end]))
        pos = end
    return out


def options_of(line, tokens, what):
    """``name=value`` pairs (an ordered dict of upper-case name -> tokens); anything
    else is an error."""
    out, pos = {}, 0
    while pos < len(tokens):
        tok = tokens[pos]
        if tok.kind == ",":
            pos += 1
            continue
        if tok.kind != "word" or pos + 2 > len(tokens) or tokens[pos + 1].kind != "=":
            raise line.error(f"expected name=value in {what}, found {clip(tok.text)!r}", tok)
        end = group_end(tokens, pos + 2)
        key = tok.text.upper()
        if key in out:
            raise line.error(f"{clip(tok.text)} given twice in {what}", tok)
        out[key] = tokens[pos + 2 : end]
        pos = end
    return out


def split_options(tokens):
    """Position of the first ``name=value`` pair (len(tokens) if none)."""
    for pos in range(len(tokens) - 1):
        if tokens[pos].kind == "word" and tokens[pos + 1].kind == "=":
            return pos
    return len(tokens)


def words_of(line, tokens, what):
    for tok in tokens:
        if tok.kind != "word":
            raise line.error(f"{clip(what)}: expected a name, found {clip(tok.text)!r}", tok)
    return [tok.text.upper() for tok in tokens]
