"""loxant: transient simulation of superconducting circuits.

The numerical core lives in two extension modules, ``loxant.CircuitKernel``
(element models and the assembly kernels) and ``loxant.SparseDirect`` (the KLU
sparse solver).  The modules ``lxglobals``, ``SimulationParameters`` and
``lxconfig`` hold the shared state that the kernels read and write.
"""

__version__ = "0.1.0"
