"""The ``loxant verify`` subcommand: does a circuit follow its spec file?

    loxant verify FILE.cir --spec SPEC [--threshold T]

Simulates the netlist's ``.tran`` once and judges it by the spec file (see
:mod:`loxant.analysis.expected`).  Exit status: 0 it passes, 1 it fails (the
first violation printed: which junction, at what time, its count and phase)
or its simulation fails, 2 a mistake in the arguments, the netlist or the spec.
"""

from .command_input import (
    UserError,
    add_spec_arguments,
    read_netlist_argument,
    run_command_body,
    spec_options,
)
from .common import make_design, spec_criterion
from .runner import Run, evaluate

__all__ = ["add_verify_subcommand", "verify"]


def add_verify_subcommand(subparsers, reader=None):
    """Add ``verify`` to the ``loxant`` subparsers; ``reader(path)`` reads a netlist."""
    command = subparsers.add_parser(
        "verify",
        help="check a circuit against a spec file",
        description="Simulate the netlist once and check that each junction of the spec file "
        "has switched as often as the file says at each of its times, within the threshold.",
    )
    command.add_argument("netlist", metavar="FILE.cir", help="netlist ('-': standard input)")
    add_spec_arguments(command)
    command.set_defaults(func=lambda args: run_command_body("verify", lambda: _body(args, reader)))


def verify(netlist_or_circuit, spec, threshold=None, *, t_stop=None, dt=None, **options):
    """Simulate once and judge by ``spec`` (a spec file's path or table):
    returns the :class:`~loxant.analysis.runner.Outcome`, whose ``message``
    names the first violation of a run that fails."""
    design = make_design(netlist_or_circuit, t_stop, dt, options)
    criterion = spec_criterion(design, None, spec, threshold)
    return evaluate(design, Run(), criterion)


def _body(args, reader):
    if args.spec is None:
        raise UserError("give the expected behaviour with --spec SPEC")
    judged = spec_options(args)
    netlist = read_netlist_argument(args.netlist, reader)
    outcome = verify(netlist, judged["spec"], judged["threshold"])
    spec = judged["spec"]
    if outcome.passed:
        print(
            f"pass: {len(spec.names)} junctions at {len(spec.times) - 1} times follow {spec.source}"
        )
        return 0
    if outcome.reason == "criterion":
        print(f"fail: {outcome.message}")
    else:
        print(f"fail: the simulation failed ({outcome.reason}): {outcome.message}")
    return 1
