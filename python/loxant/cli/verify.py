"""The ``loxant verify`` subcommand: does a circuit switch as expected?
(see :mod:`loxant.analysis.verify_command`)"""

from ..analysis.verify_command import verify
from ..errors import UserError
from .common import add_expected_arguments, add_netlist_argument, expected_options, read_input

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
    add_expected_arguments(command)
    command.set_defaults(func=_verify)


def _verify(args):
    if args.expected is None:
        raise UserError("give the expected behaviour with --expected FILE")
    judged = expected_options(args)
    netlist = read_input(args)
    table = judged["expected"]
    outcome = verify(netlist, table, judged["threshold"])
    if outcome.passed:
        print(
            f"pass: {len(table.names)} junctions at {len(table.times) - 1} times follow {table.source}"
        )
        return 0
    if outcome.reason == "criterion":
        print(f"fail: {outcome.message}")
    else:
        print(f"fail: the simulation failed ({outcome.reason}): {outcome.message}")
    return 1
