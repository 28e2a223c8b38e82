"""Regenerate the designer's guide from its steps.

Each step of the guide runs commands on the example library in
``examples/library/``; this script runs them in a scratch directory, puts each
command and its (trimmed) output into ``docs/guide.md`` where the template
``docs/guide.in.md`` has ``<!-- step NAME -->``, and copies the pictures the
commands draw to ``docs/guide_NAME.png``.  A command that fails, or whose output
lacks what the step expects, stops the script with the output shown and nothing
written.

    python docs/make_guide.py            # run every step, write guide.md and pictures
    python docs/make_guide.py --smoke    # the quick variants, no pictures, write nothing

To add a step: append a ``Step`` to ``STEPS`` and a ``<!-- step NAME -->`` line
to the template.  Commands are written as a designer types them, from the
repository's root; ``loxant`` and ``python`` run with this interpreter.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, field

DOCS = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(DOCS)
TEMPLATE = os.path.join(DOCS, "guide.in.md")
GUIDE = os.path.join(DOCS, "guide.md")
GENERATED = "<!-- Written by docs/make_guide.py from docs/guide.in.md: edit those. -->\n"
MARKER = re.compile(r"^<!-- step (\S+) -->$", re.MULTILINE)

TESTBENCH = "examples/library/lx_dff_testbench.cir"
SPREAD = "examples/library/lx_dff_spread.cir"
CELL = "examples/library/lx_dff.cir"
MODEL = "examples/library/jjg.cir"
SWEEP_MEASURES = ["q_pulses=switches(B2.XLOADOUT_Q)", "clk_to_q=delay(B5.XDUT,B7.XDUT)"]


@dataclass
class Step:
    """One step of the guide.

    ``commands``: argument lists, run in order; ``picture``: the image a command
    draws (its ``--plot`` value), shown under the output; ``keep``: how many
    lines of each command's output to show from its start and from its end
    (None: all); ``show``: whether the output is shown at all; ``expect``: texts
    the step's output must contain; ``smoke``: a quicker variant of ``commands``
    for the test (the same commands by default)."""

    name: str
    commands: list
    picture: str | None = None
    keep: tuple | None = None
    show: bool = True
    expect: list = field(default_factory=list)
    smoke: list | None = None


STEPS = [
    Step("run", [["loxant", "run", TESTBENCH]], expect=["B7|XDUT", "Newton iterations"]),
    Step(
        "traces",
        [["loxant", "run", TESTBENCH, "-q", "-o", "dff.csv"], ["head", "-n", "3", "dff.csv"]],
        expect=['time,"P(B1|XDUT)"'],
    ),
    Step(
        "events",
        [["loxant", "run", TESTBENCH, "-q", "--events"]],
        keep=(0, 18),
        expect=["switching times (ps); sign = direction"],
    ),
    Step(
        "plot",
        [["loxant", "run", TESTBENCH, "-q", "--plot", "dff.png"]],
        picture="dff.png",
        show=False,
    ),
    Step(
        "margins",
        [["loxant", "margins", TESTBENCH, "--dut", "XDUT", "--serial", "--plot", "margins.png"]],
        picture="margins.png",
        keep=(44, 1),
        expect=["critical margin", "IB4|XDUT"],
        smoke=[
            ["loxant", "margins", TESTBENCH, "--dut", "XDUT", "--params", "IB4.XDUT"]
            + ["--no-global-bias", "--resolution", "20", "--serial"]
        ],
    ),
    Step(
        "yield",
        [["loxant", "yield", SPREAD, "-n", "100", "--seed", "1", "--serial"]],
        expect=["samples pass"],
        smoke=[["loxant", "yield", SPREAD, "-n", "3", "--seed", "1", "--serial"]],
    ),
    Step(
        "iv",
        [["loxant", "iv", MODEL, "jjg", "--max", "250uA", "-o", "iv.csv", "--plot", "iv.png"]],
        picture="iv.png",
        expect=["wrote the I-V curve of JJG"],
        smoke=[["loxant", "iv", MODEL, "jjg", "--max", "250uA", "--points", "4", "-o", "iv.csv"]],
    ),
    Step(
        "characterize",
        [
            ["loxant", "characterize", CELL, "--cell", "LX_DFF", "--inputs", "a"]
            + ["--outputs", "q", "--clock", "clk", "--sdf", "lx_dff.sdf", "--lib", "lx_dff.lib"],
            ["cat", "lx_dff.sdf"],
            ["tail", "-n", "28", "lx_dff.lib"],
        ],
        expect=["delays (ps)", "IOPATH", "cell_rise"],
        smoke=[
            ["loxant", "characterize", CELL, "--cell", "LX_DFF", "--inputs", "a"]
            + ["--outputs", "q", "--clock", "clk", "--loads", "1", "--biases", "1"]
            + ["--no-constraints", "--sdf", "lx_dff.sdf", "--lib", "lx_dff.lib"],
            ["cat", "lx_dff.sdf"],
            ["tail", "-n", "28", "lx_dff.lib"],
        ],
    ),
    Step(
        "sweep",
        [
            ["loxant", "sweep", TESTBENCH, "global bias=x0.7:x1.3:13", "--measure"]
            + [*SWEEP_MEASURES, "--serial", "-o", "sweep.csv", "--plot", "sweep.png"]
        ],
        picture="sweep.png",
        expect=["clk_to_q", "q_pulses"],
        smoke=[
            ["loxant", "sweep", TESTBENCH, "global bias=x0.7:x1.3:2", "--measure"]
            + [*SWEEP_MEASURES, "--serial", "-o", "sweep.csv"]
        ],
    ),
]


class StepFailed(Exception):
    """A step's command failed or its output lacks what the step expects."""


def without_plots(command):
    """``command`` with any ``--plot FILE`` left out."""
    out, skip = [], False
    for word in command:
        if skip:
            skip = False
        elif word == "--plot":
            skip = True
        else:
            out.append(word)
    return out


def executable(command):
    """The argument list that runs ``command`` with this interpreter."""
    if command[0] == "loxant":
        return [sys.executable, "-m", "loxant", *command[1:]]
    if command[0] == "python":
        return [sys.executable, *command[1:]]
    return command


def trim(text, keep):
    """The first and last lines of ``text`` that ``keep`` asks for, '...' between."""
    lines = text.rstrip("\n").split("\n")
    if keep is None or sum(keep) >= len(lines):
        return "\n".join(lines)
    head, tail = keep
    return "\n".join(lines[:head] + ["..."] + lines[len(lines) - tail :])


def run_command(command, workdir):
    """Run ``command`` in ``workdir``; its standard output and error, merged."""
    env = dict(os.environ, PYTHONUNBUFFERED="1", COLUMNS="100")
    done = subprocess.run(
        executable(command),
        cwd=workdir,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=900,
    )
    if done.returncode != 0:
        raise StepFailed(f"$ {' '.join(command)}\nexit status {done.returncode}\n{done.stdout}")
    return done.stdout


def run_step(step, workdir, smoke=False, plots=True):
    """Run the commands of ``step`` in ``workdir``; a list of (command, output)."""
    commands = step.smoke if smoke and step.smoke is not None else step.commands
    shown = []
    for command in commands:
        if not plots:
            command = without_plots(command)
        shown.append((command, run_command(command, workdir)))
    everything = "".join(output for _, output in shown)
    missing = [text for text in step.expect if text not in everything]
    if missing:
        raise StepFailed(f"step {step.name}: output lacks {missing}:\n{everything}")
    if plots and step.picture and not os.path.isfile(os.path.join(workdir, step.picture)):
        raise StepFailed(f"step {step.name}: no picture {step.picture} was drawn")
    return shown


def scratch_directory():
    """A temporary directory in which ``examples/`` is the repository's."""
    workdir = tempfile.mkdtemp(prefix="loxant-guide-")
    os.symlink(os.path.join(ROOT, "examples"), os.path.join(workdir, "examples"))
    return workdir


def run_steps(steps=STEPS, smoke=False, plots=True, workdir=None):
    """Run ``steps`` in ``workdir`` (a scratch directory by default); a dict of
    step name to its list of (command, output)."""
    workdir = workdir or scratch_directory()
    return {step.name: run_step(step, workdir, smoke, plots) for step in steps}


def shell_line(command):
    """``command`` as it is typed into a shell, quoted where it needs it."""
    return shlex.join(command)


def block(step, shown):
    """The markdown of one step: each command and its output, then its picture."""
    lines = ["```console"]
    for command, output in shown:
        lines.append("$ " + shell_line(command))
        if step.show and output.strip():
            lines.append(trim(output, step.keep))
    lines.append("```")
    if step.picture:
        lines += ["", f"![{step.name}](guide_{step.name}.png)"]
    return "\n".join(lines)


def check_template(template, steps=STEPS):
    """Every step appears once in ``template`` and every marker names a step."""
    marked = MARKER.findall(template)
    names = [step.name for step in steps]
    unknown = sorted(set(marked) - set(names))
    missing = [name for name in names if marked.count(name) != 1]
    if unknown or missing:
        raise StepFailed(f"template: unknown steps {unknown}, not marked exactly once {missing}")


def write_guide(template, results, workdir, steps=STEPS):
    """Fill ``template`` with the steps' ``results`` into the guide, and copy the
    pictures drawn in ``workdir`` beside it."""
    by_name = {step.name: step for step in steps}
    text = GENERATED + MARKER.sub(
        lambda m: block(by_name[m.group(1)], results[m.group(1)]), template
    )
    for step in steps:
        if step.picture:
            target = os.path.join(DOCS, f"guide_{step.name}.png")
            shutil.copyfile(os.path.join(workdir, step.picture), target)
    with open(GUIDE, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="quick variants, write nothing")
    args = parser.parse_args()
    with open(TEMPLATE, encoding="utf-8") as f:
        template = f.read()
    workdir = scratch_directory()
    try:
        check_template(template)
        results = run_steps(smoke=args.smoke, plots=not args.smoke, workdir=workdir)
        if not args.smoke:
            write_guide(template, results, workdir)
    except StepFailed as exc:
        print(f"make_guide: {exc}", file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("guide: every step ran" + ("" if args.smoke else f"; wrote {GUIDE}"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
