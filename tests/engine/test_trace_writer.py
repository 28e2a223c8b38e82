"""The native trace formatter against Python's own formatting of the same values,
and trace files read back to the precision they print."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from loxant.NativeEngine import format_raw_rows, format_rows
from loxant.output import write_csv, write_dat, write_raw

AWKWARD = [
    0.0,
    -0.0,
    np.inf,
    -np.inf,
    np.nan,
    -np.nan,
    5e-324,  # smallest subnormal
    -2.225073858507201e-308,  # largest subnormal
    2.2250738585072014e-308,  # smallest normal
    1.7976931348623157e308,
    -1e-300,
    1e300,
    1e16,  # the last exponent written without one (%.17g)
    1e17,  # the first written with one
    99999999999999999.0,
    9.9999999999999995e-5,  # beside the switch to an exponent below
    1e-4,
    1e-5,
    0.1,
    0.5,
    2.5,
    123456789.125,
    1e22,
    1e23,
    2.0**-1074 * 3,
    -1.5e-12,
    4.35e-3,
]


def general(values):
    return ["%.17g" % value for value in values]  # noqa: UP031 (as numpy.savetxt formats)


def exponent(values):
    return [f"{value:.17e}" for value in values]


def native_general(values):
    text = format_rows(np.array(values, dtype=float)[:, None], ",").decode()
    return text.split("\n")[:-1]


def native_exponent(values):
    text = format_raw_rows(np.array(values, dtype=float)[:, None], 0).decode()
    return [line.split("\t")[1] for line in text.split("\n")[:-1]]


@pytest.mark.parametrize(
    ("native", "python"), [(native_general, general), (native_exponent, exponent)]
)
def test_awkward_values_spelled_as_python_does(native, python):
    assert native(AWKWARD) == python(AWKWARD)


@pytest.mark.parametrize(
    ("native", "python"), [(native_general, general), (native_exponent, exponent)]
)
def test_random_bit_patterns_spelled_as_python_does(native, python):
    bits = np.random.default_rng(7).integers(
        0, 2**64, size=200_000, dtype=np.uint64, endpoint=False
    )
    values = bits.view(np.float64)
    assert native(values) == python(values)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=1, max_size=40))
def test_any_double(values):
    assert native_general(values) == general(values)
    assert native_exponent(values) == exponent(values)


def test_rows_separators_strides_and_numbering():
    table = np.arange(12.0).reshape(3, 4)[:, ::2] / 3  # not contiguous
    assert format_rows(table, " ").decode() == "".join(
        " ".join(general(row)) + "\n" for row in table
    )
    assert format_raw_rows(table, 5).decode() == "".join(
        f" {5 + k}\t{row[0]:.17e}\n\t{row[1]:.17e}\n" for k, row in enumerate(table)
    )
    assert format_rows(np.empty((0, 3)), ",") == b""


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda: format_rows(np.zeros((2, 2)), ",,"), ValueError, "one ASCII character"),
        (lambda: format_rows(np.zeros(3), ","), ValueError, "wrong number of dimensions"),
        (lambda: format_rows(np.zeros((2, 2), np.float32), ","), ValueError, "dtype mismatch"),
        (lambda: format_raw_rows(np.zeros((2, 2)), -1), ValueError, "must not be negative"),
    ],
)
def test_bad_arguments(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.fixture
def traces():
    rng = np.random.default_rng(3)
    time = np.arange(5000) * 2.5e-13
    values = [rng.standard_normal(5000) * scale for scale in (1.0, 1e-3, 1e-6)]
    values[1][:4] = [0.0, -0.0, 5e-324, 1e300]
    units = ["rad", "V", "A"]
    return time, [(f"P(B{k})", unit, v) for k, (unit, v) in enumerate(zip(units, values))]


def read_raw(path):
    lines = open(path).read().split("Values:\n", 1)[1].split("\n")[:-1]
    return np.array([float(line.split("\t")[-1]) for line in lines])


@pytest.mark.parametrize(
    ("writer", "read"),
    [
        (write_csv, lambda p: np.loadtxt(p, delimiter=",", skiprows=1)),
        (write_dat, lambda p: np.loadtxt(p, skiprows=1)),
        (write_raw, lambda p: read_raw(p).reshape(-1, 4)),
    ],
)
def test_files_read_back_exactly(writer, read, traces, tmp_path):
    """17 significant digits identify a double: every value reads back as written."""
    time, series = traces
    path = tmp_path / "out.txt"
    writer(path, time, series)
    table = read(path)
    expected = np.column_stack([time] + [v for _, _, v in series]) + 0.0
    assert np.array_equal(table, expected)
    assert not np.signbit(table[1, 2])  # a negative zero is written as 0


def test_csv_bytes_as_numpy_writes_them(traces, tmp_path):
    time, series = traces
    path = tmp_path / "out.csv"
    write_csv(path, time, series)
    expected = tmp_path / "numpy.csv"
    with open(expected, "w", newline="") as stream:
        stream.write('time,"P(B0)","P(B1)","P(B2)"\n')
        table = np.column_stack([time] + [v for _, _, v in series]) + 0.0
        np.savetxt(stream, table, delimiter=",", fmt="%.17g")
    assert path.read_bytes() == expected.read_bytes()
