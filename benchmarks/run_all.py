"""Runs every ``benchmarks/bench_*.py`` in turn, each in its own interpreter and with
its own (small) defaults, and says which ones failed.

    python benchmarks/run_all.py [name ...]     # e.g. run_all.py driver solver
"""

import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent


def main(names):
    scripts = sorted(HERE.glob("bench_*.py"))
    if names:
        scripts = [s for s in scripts if any(name in s.stem for name in names)]
    if not scripts:
        print("no benchmark matches " + " ".join(names))
        return 1
    failed = []
    for script in scripts:
        print(f"\n=== {script.name} ===", flush=True)
        start = time.perf_counter()
        code = subprocess.run([sys.executable, str(script)], check=False).returncode
        status = "ok" if code == 0 else f"FAILED (exit status {code})"
        print(f"--- {script.name}: {status}, {time.perf_counter() - start:.1f} s", flush=True)
        if code:
            failed.append(script.name)
    if failed:
        print(f"\n{len(failed)} of {len(scripts)} benchmarks failed: {', '.join(failed)}")
        return 1
    print(f"\nall {len(scripts)} benchmarks ran")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
