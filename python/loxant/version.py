"""The version of loxant (also in ``pyproject.toml``)."""

__version__ = "0.1.0"
