"""Failure reasons grouped for people: one row per kind of failure, one example each.

Messages of the same kind differ only in their numbers ("switch 1 late, at
41.2 ps" and "switch 1 late, at 43.0 ps"); numbers standing on their own are
replaced by ``#`` to group them, while names that hold digits (``B1|X3``) stay.
"""

import re

from .display import reasons_table

__all__ = ["failure_groups", "message_kind"]

_NUMBER = re.compile(r"(?<![\w|.])[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?(?![\w|])")


def message_kind(message):
    """``message`` with its free-standing numbers replaced by ``#``."""
    return _NUMBER.sub("#", str(message or ""))


def failure_groups(runs, by=()):
    """A DataFrame of the failed rows of ``runs`` (with ``passed``, ``reason`` and
    ``message`` columns) grouped by the columns ``by``, the reason and the kind of
    message: ``count``, and the first such row's values as the example
    (``example``: its message; the other columns of ``runs`` prefixed ``first``).
    Printed, it shows every row and the whole of every message."""
    import pandas as pd

    by = list(by)
    failed = runs[~runs["passed"].astype(bool)]
    columns = by + ["reason", "kind", "count", "example"]
    if failed.empty:
        return reasons_table(pd.DataFrame(columns=columns))
    failed = failed.assign(kind=[message_kind(m) for m in failed["message"]])
    keys = by + ["reason", "kind"]
    grouped = failed.groupby(keys, sort=False, dropna=False)
    table = grouped.size().rename("count").reset_index()
    table["example"] = grouped["message"].first().to_numpy()
    # groups of one ``by`` value together, in order of appearance, most frequent first
    order = pd.factorize(pd.Series(list(zip(*(table[c] for c in by)))) if by else table["reason"])
    table["_group"] = order[0] if by else 0
    table = table.sort_values(["_group", "count"], ascending=[True, False], kind="stable")
    return reasons_table(table[columns].reset_index(drop=True))
