"""The guide's commands, run on the example library as a smoke test, so that the
guide in docs/ cannot drift from what the commands accept and print."""

import importlib.util
import os
import shutil

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load_guide_script():
    path = os.path.join(ROOT, "docs", "make_guide.py")
    module_spec = importlib.util.spec_from_file_location("make_guide", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


guide = load_guide_script()


@pytest.fixture(scope="module")
def workdir():
    path = guide.scratch_directory()
    yield path
    shutil.rmtree(path, ignore_errors=True)


@pytest.mark.parametrize("step", guide.STEPS, ids=lambda step: step.name)
def test_step_runs_and_prints_what_the_guide_shows(step, workdir):
    shown = guide.run_step(step, workdir, smoke=True, plots=False)
    assert [command for command, _ in shown]  # run_step checks exit status and expected text


@pytest.mark.parametrize(
    "step", [step for step in guide.STEPS if step.smoke], ids=lambda step: step.name
)
def test_quick_variant_runs_the_same_commands_on_the_same_files(step):
    """The test's quicker commands differ from the guide's only in options that
    scale the work, so a renamed file, command or port in the guide fails here."""
    assert len(step.smoke) == len(step.commands)
    for full, quick in zip(step.commands, step.smoke):
        program = 3 if full[0] == "loxant" else 2  # loxant SUBCOMMAND FILE / python SCRIPT
        assert full[:program] == quick[:program]
        named = {word for word in full if "/" in word or word.isupper()}
        assert named - {"--plot"} <= set(quick)


def test_template_marks_every_step_once():
    with open(guide.TEMPLATE, encoding="utf-8") as f:
        guide.check_template(f.read())


def test_a_failing_command_stops_the_guide(workdir):
    broken = guide.Step("broken", [["loxant", "run", "examples/library/no_such.cir"]])
    with pytest.raises(guide.StepFailed, match="exit status 2"):
        guide.run_step(broken, workdir)


def test_missing_expected_output_stops_the_guide(workdir):
    step = guide.Step("quiet", [["loxant", "--version"]], expect=["no such text"])
    with pytest.raises(guide.StepFailed, match="lacks"):
        guide.run_step(step, workdir)


@pytest.mark.parametrize(
    "keep, expected",
    [(None, "a\nb\nc\nd"), ((1, 1), "a\n...\nd"), ((0, 2), "...\nc\nd"), ((2, 2), "a\nb\nc\nd")],
)
def test_trim_keeps_head_and_tail(keep, expected):
    assert guide.trim("a\nb\nc\nd\n", keep) == expected


def test_readme_shows_only_commands_the_guide_runs():
    """The README's example commands are the guide's, so the smoke test covers them."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        shown = [line[2:] for line in f.read().splitlines() if line.startswith("$ loxant ")]
    run = {guide.shell_line(command) for step in guide.STEPS for command in step.commands}
    assert shown
    assert [command for command in shown if command not in run] == []
