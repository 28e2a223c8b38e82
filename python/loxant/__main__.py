"""``python -m loxant`` and the ``loxant`` command (:func:`entry`)."""

import gc
import os
import sys

# loxant's own work is sparse (KLU) or element by element: BLAS threads would only
# cost their start-up, tens of milliseconds of processor time in every process.
# NumPy reads this when it loads; a value the user set wins.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from .cli import main  # noqa: E402 - NumPy loads here, after the setting above


def entry():
    """The command's exit status, for the process that ends right after."""
    status = main()
    # the interpreter's collections at exit would walk every object of every loaded
    # module, only for all of them to go with the process
    gc.freeze()
    return status


if __name__ == "__main__":
    sys.exit(entry())
