"""Configuration read by the element models.

``tjm_models`` maps a tunnel-junction kernel name to ``(A, B, P)``: three
equally long lists of complex numbers (pair amplitudes, quasiparticle
amplitudes, poles), read by ``JunctionTJMModel.InitTJMModel``.
"""

#: dict, name -> (A, B, P); filled by the package with the shipped kernels.
tjm_models = {}
