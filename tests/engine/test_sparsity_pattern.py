"""The native sparsity pattern against a general sort of the same stamps."""

import numpy as np
import pytest

from loxant.NativeEngine import sparsity_pattern


def by_sorting(n, rows, cols):
    keys = cols * (n + 1) + rows
    keys = np.where((rows > 0) & (cols > 0), keys, 0)
    entries = np.unique(keys[keys > 0])
    entry_cols = entries // (n + 1)
    ap = np.cumsum(np.bincount(entry_cols, minlength=n + 1))
    ai = entries - entry_cols * (n + 1) - 1
    where = np.where(keys > 0, np.searchsorted(entries, keys), 0)
    return ap, ai, where


@pytest.mark.parametrize(("n", "count", "seed"), [(1, 4, 0), (7, 40, 1), (300, 5000, 2), (5, 0, 3)])
def test_same_pattern_as_sorting(n, count, seed):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, n + 1, count)
    cols = rng.integers(0, n + 1, count)
    ap, ai, where = (np.frombuffer(b, np.int32) for b in sparsity_pattern(n, rows, cols))
    for got, expected in zip((ap, ai, where), by_sorting(n, rows, cols)):
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize(
    ("rows", "cols", "message"),
    [([0, 4], [1, 1], r"stamp 1 at \(4, 1\) is outside 0..3"), ([1], [1, 2], "differ in length")],
)
def test_bad_stamps(rows, cols, message):
    with pytest.raises(ValueError, match=message):
        sparsity_pattern(3, np.array(rows, np.int64), np.array(cols, np.int64))
