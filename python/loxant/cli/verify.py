"""The ``loxant verify`` subcommand: does a circuit switch as expected?
(see :mod:`loxant.analysis.verify_command`)"""

from ..analysis.verify_command import verify
from ..errors import UserError
from .common import add_netlist_argument, add_spec_arguments, read_input, spec_options

__all__ = ["add_verify_subcommand"]


def add_verify_subcommand(subparsers):
    """Add ``verify`` to the ``loxant`` subparsers."""
    command = subparsers.add_parser(
        "verify",
        help="check a circuit against a file of expected switching",
        description="Simulate the netlist once and check that each junction of the file of expected switching "
        "has switched as often as the file says at each of its times, within the threshold.",
    )
    add_netlist_argument(command)
    add_spec_arguments(command)
    command.set_defaults(func=_verify)


def _verify(args):
    if args.spec is None:
        raise UserError("give the expected behaviour with --spec SPEC")
    judged = spec_options(args)
    netlist = read_input(args)
    spec = judged["spec"]
    outcome = verify(netlist, spec, judged["threshold"])
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
