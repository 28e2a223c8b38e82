"""A native engine set up the way the package sets it up, for benchmarks that
time the loop and its linear-algebra floor from inside (not a benchmark)."""


def native_engine(system, plan, t_stop, dt, profile):
    """The installed system's engine for a fixed-step run of ``t_stop`` in steps
    of ``dt`` (normalised units), with the package's default tolerances."""
    from loxant import transient

    kernel, _ = transient.native_modules()
    options = dict(
        t_stop=t_stop,
        dt=dt,
        dt_min=dt / 1024,
        record_every=1,
        record_from=0.0,
        nonlinear=system.nonlinear,
        steps_history=system.steps_history,
        values_every_step=system.values_keep_state,
        profile=profile,
        progress=None,
        progress_interval=0.1,
        initial_ramp=0.0,
        phase_hysteresis=0.0,
        abstol=1e-9,
        reltol=1e-9,
        max_iterations=20,
    )
    with transient._state_lock:
        return transient._native_setup(system, kernel, plan, options)
