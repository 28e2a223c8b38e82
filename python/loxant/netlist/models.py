"""Junction models: the parameters a ``.model name jj(...)`` may give, and their
translation into the values of one junction.

A model belongs to the subcircuit it is written in: a junction looks its model
up in its own subcircuit, then in the subcircuits its definition is written in,
then at top level, and uses the default model (with a warning) when none has
the name.
"""

from .. import expressions as ex
from .. import jjmodel
from .errors import clip, warn

__all__ = ["DEFAULT_MODEL", "MODEL_DEFAULTS", "check_parameter", "junction_model"]

MODEL_DEFAULTS = jjmodel.DEFAULTS
MODEL_ALIASES = jjmodel.ALIASES
#: parameters of the dialect that cannot be honoured yet
MODEL_NOT_YET = {}
#: the dialect's default model, for a junction whose model is nowhere defined
DEFAULT_MODEL = jjmodel.junction_model({})


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


def _junction_model(model, scope, sink):
    """The :class:`~loxant.jjmodel.ModelJJ` of ``model`` (per unit area), its
    warnings issued; raises ExpressionError or NetlistError."""
    given = {}
    for key, value in model.params.items():
        if key == "CPR":
            given[key] = [scope.evaluate(item.tree) for item in value]
        else:
            given[key] = scope.evaluate(value.tree)
    try:
        values = jjmodel.junction_model(given)
    except jjmodel.JunctionModelError as exc:
        raise model.line.error(f"model {model.name}: {exc}") from None
    for note in values.notes:
        warn(f"model {clip(model.name)}: {note}", model.line.file, model.line.number, sink)
    return values


def junction_model(model, scope, sink=None):
    """:func:`_junction_model` with expression errors reported at the model's
    line; ``sink`` collects the warnings (see :func:`.errors.warn`)."""
    try:
        return _junction_model(model, scope, sink)
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
