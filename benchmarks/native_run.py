"""A native engine set up the way the package sets it up, for benchmarks that
time the loop and its linear-algebra floor from inside (not a benchmark)."""


def native_engine(system, plan, t_stop, dt, profile):
    """The installed system's engine for a fixed-step run of ``t_stop`` in steps
    of ``dt`` (normalised units), with the package's default tolerances."""
    from loxant.simulation import native
    from loxant.simulation.assembly import STATE_LOCK, native_modules
    from loxant.simulation.options import RunOptions

    kernel, _ = native_modules()
    options = RunOptions.check(t_stop, dt, profile=profile).for_system(system)
    with STATE_LOCK:
        return native.setup(system, kernel, plan, options)
