#!/usr/bin/env python3
"""Checks that examples/write_inputs.py refuses every parameter that cannot
give a run: one line on standard error with the reason, status 2, no
traceback, and nothing written.

    write_inputs_refusals_test.py
"""
import resource
import subprocess
import sys
from pathlib import Path

from scratch import scratch_dir

write_inputs = Path(__file__).resolve().parent.parent / "examples" / "write_inputs.py"
cases = [
    # parameters, a word of the reason
    (["R=2"], "R=2.0"),  # a layer that amplifies
    (["R=0"], "R=0.0"),
    (["R=1"], "R=1.0"),
    (["f0=0"], "f0=0.0"),
    (["f0=-25"], "f0=-25.0"),
    (["receiver_dy=0"], "receiver_dy=0"),
    (["receiver_dy=-10"], "receiver_dy=-10"),
    (["receiver_y1=50"], "no receiver"),
    (["nT=-5"], "nT=-5"),
    (["layer=-1"], "layer=-1"),
    (["modT=0"], "modT=0"),
    (["dT=0"], "dT=0.0"),
    (["dX=nan"], "dX=nan"),
    (["c_bottom=-2000"], "c_bottom=-2000.0"),
    (["rho_top=inf"], "rho_top=inf"),
    (["amplitude=inf"], "amplitude=inf"),
    (["relaxation_layer=2"], "relaxation_layer=2"),
    (["nX=16"], "at least 17"),
    (["nX=70000", "nY=40000"], "2147483647 cells"),
    (["nX=20000", "nY=20000"], "memory"),  # about 45 GiB, under a limit of 2 GiB
    (["dT=0.01"], "unstable"),
    (["source_x=3"], "point (3, 100)"),
    (["receiver_x=395"], "point (395, 50)"),
    (["nX=2.5"], "not a value for nX"),
    (["speed=3"], "no parameter speed"),
]
failures = 0

def limit_memory():
    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))


with scratch_dir("write_inputs_refusals", lambda: failures > 0) as scratch:
    for parameters, reason in cases:
        target = Path(scratch) / "case"
        # Only the row about memory runs under an address-space limit.
        run = subprocess.run([sys.executable, str(write_inputs), str(target), *parameters], capture_output=True,
                             text=True, preexec_fn=limit_memory if reason == "memory" else None)
        lines = run.stderr.splitlines()
        ok = (run.returncode == 2 and len(lines) == 1 and lines[0].startswith("write_inputs.py: ")
              and reason in lines[0] and "Traceback" not in run.stderr and not target.exists() and run.stdout == "")
        print(("ok    " if ok else "FAIL  ") + f"{' '.join(parameters)}: status {run.returncode}, {run.stderr!r}")
        failures += not ok
    # a file in the target's place is left as it is
    taken = Path(scratch) / "taken"
    taken.write_text("x")
    run = subprocess.run([sys.executable, str(write_inputs), str(taken)], capture_output=True, text=True)
    ok = run.returncode == 2 and run.stderr == f"write_inputs.py: {taken} exists and is not a directory\n"
    ok = ok and taken.read_text() == "x"
    print(("ok    " if ok else "FAIL  ") + f"target a file: status {run.returncode}, {run.stderr!r}")
    failures += not ok
sys.exit(1 if failures else 0)
