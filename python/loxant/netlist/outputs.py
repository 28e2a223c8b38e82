"""Where a netlist's own output cards (``.file``, ``.iv``) may write.

A netlist, or a library file it includes, names files it writes; read from
someone else, it must not reach files the user did not name.  A path written in
a card therefore stays inside the folder of the file that holds the card: a
relative one (taken from the current folder, as the writers take it) may not
climb out with ``..``, an absolute one must lie in that file's folder.  The
user lifts the limit with ``allow_outside=True`` (``--allow-outside``).
"""

import os

__all__ = ["check_output_paths"]


def check_output_paths(cards, top_file, base_dir):
    """Refuses the first of ``cards`` (``(path, Line)`` pairs) whose path leaves
    the folder of the file holding it: NetlistError naming that file and line.
    ``top_file`` is the netlist's name in messages; its folder is ``base_dir``
    (also the folder of a netlist read from text)."""
    for path, line in cards:
        folder = base_dir if line.file == top_file else os.path.dirname(line.file)
        reason = _outside(path, folder)
        if reason is not None:
            raise line.error(
                f"the output {path} {reason}: a netlist writes only beside itself "
                "unless allowed (allow_outside=True, --allow-outside)"
            )


def _outside(path, folder):
    """Why ``path`` leaves ``folder`` (None when it stays)."""
    if os.path.isabs(path):
        target = os.path.realpath(path)
        inside = os.path.realpath(folder or ".")
        if os.path.commonpath([target, inside]) == inside:
            return None
        return f"is outside {inside}"
    parts = os.path.normpath(path).split(os.sep)
    if parts[0] == os.pardir:
        return "climbs out of its folder"
    return None
