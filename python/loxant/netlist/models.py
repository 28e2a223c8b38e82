"""Junction models: the parameters a ``.model name jj(...)`` may give, and their
translation into the values of one junction.

A model belongs to the subcircuit it is written in: a junction looks its model
up in its own subcircuit, then in the subcircuits its definition is written in,
then at top level, and uses the default model (with a warning) when none has
the name.
"""

import math

from .. import expressions as ex
from .errors import clip

__all__ = ["MODEL_DEFAULTS", "check_parameter", "junction_model"]

MODEL_DEFAULTS = {
    "RTYPE": 1.0,
    "ICRIT": 1e-3,
    "RN": 5.0,
    "R0": 30.0,
    "CAP": 2.5e-12,
    "VG": 2.8e-3,
    "DELV": 0.1e-3,
    "ICFCT": math.pi / 4,
    "PHI": 0.0,
}
MODEL_ALIASES = {"IC": "ICRIT", "C": "CAP", "VGAP": "VG", "ICFACT": "ICFCT"}
#: parameters of the dialect that cannot be honoured yet
MODEL_NOT_YET = {"T": "temperature", "TC": "critical temperature", "D": "transparency", "CPR": ""}


def check_parameter(key, model_name, line):
    """The canonical name of the model parameter ``key`` (upper case); an error
    for a name the dialect does not know."""
    key = MODEL_ALIASES.get(key, key)
    if key not in MODEL_DEFAULTS and key not in MODEL_NOT_YET:
        known = ", ".join(sorted(k.lower() for k in MODEL_DEFAULTS))
        raise line.error(
            f"unknown parameter {clip(key.lower())} of model {clip(model_name)} (known: {known})"
        )
    return key


def _junction_model(model, scope):
    """The parameters of ``model`` (upper-case keys: ICRIT, RN, R0, CAP, PHI, RTYPE,
    VG, DELV, ICFCT), per unit area where they scale; raises ExpressionError or
    NetlistError for what this simulator cannot do yet."""
    values = dict(MODEL_DEFAULTS)
    harmonic = 1.0
    for key, value in model.params.items():
        if key == "CPR":
            if len(value) != 1:
                raise model.line.error(
                    f"model {model.name}: cpr with {len(value)} harmonics is not supported "
                    "yet (one harmonic only)"
                )
            harmonic = scope.evaluate(value[0].tree)
        elif key in MODEL_NOT_YET:
            raise model.line.error(
                f"model {model.name}: parameter {key.lower()} ({MODEL_NOT_YET[key]}) is not "
                "supported yet"
            )
        else:
            values[key] = scope.evaluate(value.tree)
    if values["RTYPE"] not in (0, 1):
        raise model.line.error(f"model {model.name}: rtype must be 0 or 1, got {values['RTYPE']:g}")
    if not values["RN"] > 0 or not values["CAP"] >= 0:
        raise model.line.error(f"model {model.name}: rn must be positive and cap not negative")
    if values["RTYPE"] == 1 and values["PHI"]:
        raise model.line.error(
            f"model {model.name}: phi with rtype=1 is not supported; use rtype=0 for a "
            "shifted junction"
        )
    values["ICRIT"] *= harmonic
    return values


def junction_model(model, scope):
    """:func:`_junction_model` with expression errors reported at the model's line."""
    try:
        return _junction_model(model, scope)
    except ex.ExpressionError as exc:
        raise model.line.error(f"model {model.name}: {exc.message}") from None


def is_constant(model):
    """Whether no value of ``model`` names a parameter (its translation is then the
    same in every scope)."""
    for value in model.params.values():
        for item in value if isinstance(value, list) else (value,):
            if ex.names(item.tree):
                return False
    return True
