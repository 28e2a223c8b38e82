"""Configuration read by the element models.

``tjm_models`` maps a tunnel-junction kernel name to ``(A, B, P)``: three
equally long lists of complex numbers (pair amplitudes, quasiparticle
amplitudes, poles in units of the gap frequency), read by
``JunctionTJMModel.InitTJMModel``.  It starts with the kernels shipped in
``data/tjm_kernels.json``, where each one names the publication or fit it comes
from; add entries to use kernels of one's own.
"""

import json
import os

#: the kernels shipped with the package
KERNEL_FILE = os.path.join(os.path.dirname(__file__), "data", "tjm_kernels.json")


def load_tjm_kernels(path=KERNEL_FILE):
    """The kernels of a JSON file laid out like ``data/tjm_kernels.json``, as
    name -> (A, B, P); each number there is a pair [real, imag]."""
    with open(path, encoding="utf-8") as f:
        kernels = json.load(f)["kernels"]
    return {
        name: tuple([complex(re, im) for re, im in kernel[key]] for key in "ABP")
        for name, kernel in kernels.items()
    }


#: dict, name -> (A, B, P)
tjm_models = load_tjm_kernels()
