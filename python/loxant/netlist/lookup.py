"""Junction models looked up by name, wherever a netlist defines them: at top
level, in one subcircuit, or in several subcircuits that agree in value."""

import dataclasses

import numpy as np

from .. import expressions as ex
from .errors import NetlistError, clip
from .models import junction_model

__all__ = ["ModelLookup"]


class ModelLookup:
    """The model lookup of :class:`~loxant.netlist.Netlist`, which provides
    ``_parsed`` (the parser's records), ``file`` and ``_top_scope()``."""

    def junction_model(self, name):
        """The :class:`~loxant.jjmodel.ModelJJ` of the ``.model`` named ``name``:
        the top-level one, else the one defined in a subcircuit when only one
        subcircuit defines it (or all alike); ``SUB.NAME`` takes the one of
        subcircuit ``SUB`` (or of those it is written in).  Evaluated with the
        top-level ``.param`` values and the subcircuit's own parameters."""
        return self._model_values(*self._find_model(str(name)))

    def _model_values(self, model, owner, sink=None):
        """The ModelJJ of ``model`` defined in subcircuit ``owner`` (or None)."""
        scope = self._top_scope()
        for sub in self._outward(owner)[::-1]:
            scope = ex.Scope(parent=scope)
            for key, value in sub.defaults:
                scope.define(key, value.tree, sub.line)
            for key, value, line in sub.body.params:
                scope.define(key, value.tree, line)
        return junction_model(model, scope, sink)

    def _all_alike(self, found):
        """Whether the ``(Model, Subckt)`` definitions give one junction model:
        alike as written, or in value (``2.8mV`` and ``2.8mv``)."""
        if all(model.same_as(found[0][0]) for model, _ in found):
            return True
        try:
            values = [self._model_values(model, sub, sink=[]) for model, sub in found]
        except NetlistError:
            return False  # one does not evaluate: reported when it is used
        return all(_same_values(values[0], other) for other in values[1:])

    @staticmethod
    def _outward(sub):
        """``sub`` and the subcircuits it is written in, innermost first."""
        chain = []
        while sub is not None:
            chain.append(sub)
            sub = sub.parent
        return chain

    def _find_model(self, written):
        """``(Model, the subcircuit it is defined in or None)`` for a model name,
        plain or ``SUB.NAME``; NetlistError naming the known models otherwise."""
        parsed, name = self._parsed, written.upper()
        sub_name, dot, model_name = name.rpartition(".")
        if dot and sub_name in parsed.subckts:
            for sub in self._outward(parsed.subckts[sub_name]):
                if model_name in sub.body.models:
                    return sub.body.models[model_name], sub
            if model_name in parsed.top.models:
                return parsed.top.models[model_name], None
        if name in parsed.top.models:
            return parsed.top.models[name], None
        found = [
            (sub.body.models[name], sub)
            for sub in parsed.subckts.values()
            if name in sub.body.models
        ]
        if found and self._all_alike(found):
            return found[0]
        if found:
            where = ", ".join(f"{sub.name}.{name}" for _, sub in found)
            raise NetlistError(
                f"junction model {clip(name)} is defined differently in several subcircuits: "
                f"name one as {clip(where)}",
                self.file,
            )
        known = sorted(parsed.top.models) + sorted(
            f"{sub.name}.{key}" for sub in parsed.subckts.values() for key in sub.body.models
        )
        raise NetlistError(
            f"no junction model named {clip(written)} (known: {clip(', '.join(known) or 'none')})",
            self.file,
        )


def _same_values(a, b):
    """Whether two junction models agree to rounding (``0.1m`` and ``100u`` differ
    in their last bit)."""
    first, second = np.hstack(_compared_fields(a)), np.hstack(_compared_fields(b))
    return first.shape == second.shape and bool(np.allclose(first, second, rtol=1e-12, atol=0))


def _compared_fields(model):
    """The compared fields of a dataclass, in order."""
    return [getattr(model, f.name) for f in dataclasses.fields(model) if f.compare]
