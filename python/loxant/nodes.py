"""Node naming shared by every layer: ground and the canonical spelling of a node.

Nodes are named by strings or integers (an integer n is the node "n"); "0", 0
and "gnd" (any case) are ground.
"""

from .errors import CircuitError

__all__ = ["GROUND", "node_name"]

#: canonical name of the ground node
GROUND = "0"


def node_name(node):
    """Canonical name of ``node``: ground is ``"0"``, an int n is ``"n"``."""
    if isinstance(node, bool) or not isinstance(node, (str, int)):
        raise CircuitError(f"node names are strings or integers, got {node!r}")
    name = str(node).strip()
    if not name:
        raise CircuitError("node name must not be empty")
    if name == GROUND or name.lower() == "gnd":
        return GROUND
    return name
