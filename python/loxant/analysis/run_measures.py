"""The measures a run takes: their values, and why one could not be taken."""

import math
import numbers


def nan_measures(measures):
    return [
        name
        for name, value in measures.items()
        if isinstance(value, numbers.Real) and math.isnan(value)
    ]


def why_nan(measure, names, results):
    """The message of a run whose measures ``names`` could not be taken: what
    each measure says of it (``explain_nan(results)``), else that it is NaN."""
    parts = getattr(measure, "measures", None)
    explained = []
    for name in names:
        part = parts.get(name, None) if isinstance(parts, dict) else measure
        explain = getattr(part, "explain_nan", None)
        try:
            detail = explain(results) if explain is not None else "NaN"
        except Exception as exc:  # the explanation must not hide the failure itself
            detail = f"NaN ({type(exc).__name__}: {exc})"
        explained.append(f"{name}: {detail}")
    return "cannot take " + "; ".join(explained)


def take_measures(measure, results):
    if measure is None:
        return {}
    value = measure(results)
    if isinstance(value, dict):
        return {str(k): v for k, v in value.items()}
    return {"value": value}
