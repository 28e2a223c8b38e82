"""Errors and warnings of the netlist reader, and the bounds on what it accepts."""

import re
import warnings

from ..errors import CircuitError

__all__ = ["MAX_QUOTE", "NetlistError", "NetlistWarning", "clip", "warn"]

#: longest piece of offending text a message quotes
MAX_QUOTE = 80


def clip(text, limit=MAX_QUOTE):
    """``text`` cut to ``limit`` characters, saying so ("...") when cut."""
    text = str(text)
    return text if len(text) <= limit else text[: limit - 3] + "..."


_LONG_WORD = re.compile(rf"\S{{{MAX_QUOTE + 1},}}")


def clip_words(message):
    """``message`` with every run of more than :data:`MAX_QUOTE` characters without
    a space cut to that length (a name or value it quotes may be huge)."""
    return _LONG_WORD.sub(lambda match: clip(match.group()), message)


class NetlistError(CircuitError):
    """A problem in a netlist: ``file``, ``line`` and the offending ``text``."""

    def __init__(self, message, file=None, line=None, text=None):
        message = clip_words(message) if len(message) > MAX_QUOTE else message
        text = clip(text) if text else text
        self.message, self.file, self.line, self.text = message, file, line, text
        where = f"{file}:{line}: " if line is not None else (f"{file}: " if file else "")
        quoted = f"\n    {text}" if text else ""
        super().__init__(f"{where}{message}{quoted}")
        #: what the message opens with: ``file:line: ``, ``file: `` or nothing
        self.where = where


class NetlistWarning(UserWarning):
    """Something in a netlist that runs but is probably not what was meant; the
    message starts with ``file:line:``."""


def warn(message, file, line, sink=None):
    """Issue a :class:`NetlistWarning` ``file:line: message``; ``sink`` (a list)
    keeps the text too, and a text already in it is not repeated."""
    text = f"{file}:{line}: {message}"
    if sink is not None:
        if text in sink:
            return  # said once per netlist, however often it is built
        sink.append(text)
    warnings.warn(NetlistWarning(text), stacklevel=2)
