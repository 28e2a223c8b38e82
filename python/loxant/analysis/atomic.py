"""Files written whole or not at all."""

import os

__all__ = ["atomic_write"]


def atomic_write(path, text):
    """Write ``text`` to ``path`` through a temporary file in the same folder,
    renamed over it, so that no empty or partial file is ever left at ``path``."""
    path = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(folder, f".{os.path.basename(path)}.{os.getpid()}.tmp")
    try:
        with open(temporary, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)
