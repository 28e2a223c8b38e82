"""The one writer of output files: the permissions of a file it replaces are
kept, a read-only file is refused as a shell's ``>`` refuses it, and a process
killed while writing leaves the old file or the new one whole."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from loxant.output import WriteError, write_text

UMASK = os.umask(0o022)
os.umask(UMASK)


@pytest.mark.parametrize(
    ("before", "after"),
    [
        (None, 0o666 & ~UMASK),  # a new file: the umask's default
        (0o600, 0o600),
        (0o640, 0o640),
        (0o755, 0o755),
        (0o444, "refused"),
        (0o400, "refused"),
        (0o000, "refused"),
    ],
)
def test_permissions_are_kept_and_read_only_files_refused(tmp_path, before, after):
    path = tmp_path / "out.csv"
    if before is not None:
        path.write_text("old\n")
        os.chmod(path, before)
    if after == "refused":
        with pytest.raises(WriteError, match=r"cannot write .*out.csv: Permission denied"):
            write_text(path, "new\n")
        os.chmod(path, 0o600)
        assert path.read_text() == "old\n"
    else:
        write_text(path, "new\n")
        assert (path.read_text(), os.stat(path).st_mode & 0o777) == ("new\n", after)
    assert os.listdir(tmp_path) == ["out.csv"]  # no temporary file left


# writes CHUNKS megabytes of one repeated letter, saying "chunk" after each
WRITER = textwrap.dedent(
    """
    import sys
    from loxant.output import write_atomically

    def write(stream):
        for _ in range({chunks}):
            stream.write("n" * 2**20)
            stream.flush()
            print("chunk", flush=True)

    write_atomically(sys.argv[1], write)
    print("done", flush=True)
    """
)
CHUNKS = 48


@pytest.mark.parametrize("after", [1, CHUNKS // 2, CHUNKS, "done"])
def test_a_kill_mid_write_leaves_one_whole_file(tmp_path, after):
    path = tmp_path / "big.csv"
    old = "o" * (3 * 2**20)
    path.write_text(old)
    child = subprocess.Popen(
        [sys.executable, "-c", WRITER.format(chunks=CHUNKS), str(path)],
        stdout=subprocess.PIPE,
        text=True,
        env=dict(os.environ),
    )
    try:
        seen = 0
        for line in child.stdout:
            seen += 1
            if seen == after or line.strip() == after:
                break
        child.send_signal(signal.SIGKILL)
    finally:
        child.wait()
        child.stdout.close()
    assert child.returncode == -signal.SIGKILL
    text, new = path.read_text(), "n" * (CHUNKS * 2**20)
    if after == "done":
        assert text == new
    elif after == CHUNKS:  # the kill may come before or after the rename
        assert text in (old, new)
    else:  # killed while writing: the old file, whole
        assert text == old
