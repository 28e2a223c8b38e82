"""Numbers with scale suffixes, expressions and parameter scopes of netlists."""

import math
import re

import numpy as np
import pytest

from loxant.expressions import ExpressionError, Scope, parse, parse_number


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("3pH", 3e-12),
        ("250uA", 250e-6),
        ("0.175pF", 0.175e-12),
        ("2.74ohm", 2.74),
        ("5F", 5e-15),
        ("5f", 5e-15),
        ("1m", 1e-3),
        ("1M", 1e-3),
        ("1MEG", 1e6),
        ("1megohm", 1e6),
        ("2X", 2e6),
        ("3g", 3e9),
        ("4T", 4e12),
        ("7n", 7e-9),
        ("8k", 8e3),
        ("1e-12", 1e-12),
        ("1.5E3mV", 1.5),
        (".5p", 0.5e-12),
        ("-2u", -2e-6),
        ("+10", 10.0),
        ("12V", 12.0),
        ("100", 100.0),
    ],
)
def test_numbers_take_scale_suffixes_and_ignore_unit_letters(text, value):
    assert parse_number(text) == pytest.approx(value, rel=1e-15)


@pytest.mark.parametrize("text", ["", "p", "3p4", "1.2.3", "--1", "1e999", "3 p", "0x10"])
def test_bad_numbers_are_errors(text):
    with pytest.raises(ExpressionError):
        parse_number(text)


@pytest.mark.parametrize(
    ("text", "value"),
    [
        ("1+2*3", 7.0),
        ("(1+2)*3", 9.0),
        ("2^3^2", 512.0),
        ("2**3", 8.0),
        ("-2^2", -4.0),
        ("2^-1", 0.5),
        ("--3", 3.0),
        ("8/4/2", 1.0),
        ("10-4-3", 3.0),
        ("2*3p", 6e-12),
        ("sqrt(16)+abs(-1)", 5.0),
        ("exp(0)+log(1)+log10(100)", 3.0),
        ("sin(0)+cos(0)+tan(0)", 1.0),
        ("min(3, 1, 2)*max(1, 5)", 5.0),
        ("pow(2, 10)", 1024.0),
        ("atan2(1, 1)", math.pi / 4),
        ("PI", math.pi),
        ("pi/2", math.pi / 2),
        ("PHI_ZERO", 2.067833848e-15),
        ("HBAR*2*pi/(2*EV)", 2.067833848e-15),
        ("BOLTZMANN", 1.380649e-23),
        ("C", 299792458.0),
        ("MU0*EPS0*C^2", 1.0),
    ],
)
def test_expressions(text, value):
    assert Scope().evaluate(parse(text)) == pytest.approx(value, rel=1e-9)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("1+", "ends too early"),
        ("(1", "expected ')'"),
        ("1)", "unexpected ')'"),
        ("2 3", "unexpected 3"),
        ("1/0", "cannot evaluate"),
        ("sqrt(-1)", "cannot evaluate"),
        ("(-8)^(1/3)", "cannot evaluate"),
        ("exp(1000)", "cannot evaluate"),
        ("1e300*1e300", "not finite"),
        ("foo(1)", "unknown function 'foo'"),
        ("sqrt(1, 2)", "takes 1 argument"),
        ("gauss(1)", "takes 2 to 3"),
        ("nothing*2", "undefined name 'NOTHING'"),
        ("1 $ 2", "unexpected character '$'"),
        ("(" * 200 + "1" + ")" * 200, "nested too deeply"),
        ("-" * 300 + "1", "nested too deeply"),
    ],
)
def test_expression_errors(text, message):
    with pytest.raises(ExpressionError, match=re.escape(message)):
        Scope().evaluate(parse(text))


def test_long_sums_evaluate_without_recursion_trouble():
    assert Scope().evaluate(parse("+".join(["1"] * 5000))) == 5000.0


def scope_of(definitions, parent=None, rng=None):
    scope = Scope(parent, rng)
    for name, text in definitions.items():
        scope.define(name, parse(text), where=name)
    return scope


def test_parameters_resolve_in_any_order_and_shadow_outer_names():
    outer = scope_of({"LB": "2*L0", "L0": "1.5p", "C": "3"})
    inner = scope_of({"L0": "LB*2"}, parent=outer)
    assert outer.resolve_all() == pytest.approx({"LB": 3e-12, "L0": 1.5e-12, "C": 3.0})
    assert inner.value("l0") == pytest.approx(6e-12)  # names are case-insensitive
    assert inner.value("C") == 3.0


@pytest.mark.parametrize(
    ("definitions", "message", "where"),
    [
        ({"A": "B+1", "B": "A*2"}, "A -> B -> A", "A"),
        ({"A": "A"}, "A -> A", "A"),
        ({"X": "1", "A": "B", "B": "C", "C": "A"}, "A -> B -> C -> A", "A"),
        ({"A": "1", "B": "A+Q"}, "parameter B: undefined name 'Q'", "B"),
    ],
)
def test_cycles_and_undefined_names_name_the_parameter(definitions, message, where):
    with pytest.raises(ExpressionError, match=message) as info:
        scope_of(definitions).resolve_all()
    assert info.value.where == where


def test_random_functions_are_nominal_without_a_generator():
    scope = Scope()
    for text in ("gauss(2, 0.1)", "agauss(2, 0.3, 3)", "unif(2, 0.5)", "aunif(2, 1)"):
        assert scope.evaluate(parse(text)) == 2.0


def test_random_functions_draw_with_the_given_spread():
    rng = np.random.default_rng(7)
    scope = Scope(rng=rng)
    gauss = np.array([scope.evaluate(parse("gauss(2, 0.1)")) for _ in range(4000)])
    agauss = np.array([scope.evaluate(parse("agauss(2, 0.3, 3)")) for _ in range(4000)])
    unif = np.array([scope.evaluate(parse("aunif(2, 0.5)")) for _ in range(4000)])
    assert gauss.mean() == pytest.approx(2.0, abs=0.01)
    assert gauss.std() == pytest.approx(0.2, rel=0.05)  # 10 % of 2
    assert agauss.std() == pytest.approx(0.1, rel=0.05)  # 0.3 over 3 sigmas
    assert unif.min() >= 1.5 and unif.max() <= 2.5
    assert unif.std() == pytest.approx(0.5 / math.sqrt(3), rel=0.05)


def test_a_parameter_is_drawn_once_per_scope():
    scope = scope_of({"A": "gauss(1, 0.1)"}, rng=np.random.default_rng(1))
    assert scope.value("A") == scope.value("A") != 1.0
