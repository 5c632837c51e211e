#!/usr/bin/env python3
"""Checks that examples/write_inputs.py sets up a physically right case.

    write_inputs_test.py EXPONENTIAL_PROGRAM RELAXATION_PROGRAM EXAMPLE_INPUTS

- The stencil weights of write_inputs.py and of the example generator are the
  exact 16th-order weights rounded to float32.
- On a small homogeneous grid, the pulse reaches two receivers at
  t0 + distance / speed within 3 steps (the peak of the envelope), in both
  programs.
- Its absorbing layer sends back at most 5e-3 of the direct wave, and the
  two-relaxation layer that it writes gives what the sponge gives.
- Neither program has a word on standard error for any of these layouts, nor
  for the script's own (a few steps of it).
"""
import os
import subprocess
import sys
from fractions import Fraction
from pathlib import Path

import numpy as np

from scratch import scratch_dir

exponential, relaxation, example_inputs = (str(Path(p).resolve()) for p in sys.argv[1:4])
write_inputs = Path(__file__).resolve().parent.parent / "examples" / "write_inputs.py"
env = {k: v for k, v in os.environ.items() if not k.startswith(("TESSARO_", "DIVEV_"))}
env["TESSARO_HOST_THREADS"] = "4"
failures = []


def check(ok, message):
    print(("ok    " if ok else "FAIL  ") + message, flush=True)
    if not ok:
        failures.append(message)


def run_case(program, directory, *parameters):
    subprocess.run([sys.executable, str(write_inputs), directory, *parameters], check=True, stdout=subprocess.DEVNULL)
    run = subprocess.run([program], cwd=directory, env=env, check=True, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    check(run.stderr == "", f"{Path(program).name} in {Path(directory).name}: standard error {run.stderr!r}")
    count = np.fromfile(Path(directory) / "ncoordsout.dat", "<i4")[0]
    return np.fromfile(Path(directory) / "genout.dat", "<f4").reshape(-1, count)


def exact_weights():
    # solve sum c_k (2k - 1)^(2m - 1) = [m == 1], m = 1 .. 8, in exact arithmetic
    rows = [[Fraction((2 * k + 1) ** (2 * m - 1)) for k in range(8)] + [Fraction(m == 1)] for m in range(1, 9)]
    for i in range(8):
        pivot = next(r for r in range(i, 8) if rows[r][i] != 0)
        rows[i], rows[pivot] = rows[pivot], rows[i]
        for r in range(8):
            if r != i and rows[r][i] != 0:
                factor = rows[r][i] / rows[i][i]
                rows[r] = [a - factor * b for a, b in zip(rows[r], rows[i])]
    return [rows[i][8] / rows[i][i] for i in range(8)]


def weights_are_exact(dmap_file):
    # each weight is the float32 nearest to the exact 16th-order weight
    weights = np.fromfile(dmap_file, "<f4")[2:17:2]
    return all(np.float32(float(c)) == w for c, w in zip(exact_weights(), weights))


def envelope(trace):
    # magnitude of the analytic signal (FFT Hilbert transform)
    n = len(trace)
    h = np.zeros(n)
    h[0] = 1
    h[1:(n + 1) // 2] = 2
    if n % 2 == 0:
        h[n // 2] = 1
    return np.abs(np.fft.ifft(np.fft.fft(trace) * h))


with scratch_dir("write_inputs", lambda: bool(failures)) as scratch:
    work = Path(scratch)
    subprocess.run([example_inputs, "write", scratch, "60", "40", "10"], check=True, stdout=subprocess.DEVNULL)
    check(weights_are_exact(work / "dmap.dat"), "example generator: exact weights")
    for program in (exponential, relaxation):
        run_case(program, str(work / "default"), "nT=20")

    # 160 x 160 cells of water, dX 5 m, dT 0.5 ms, the absorbing layers of
    # write_inputs.py, a source at (45, 80), receivers at (110, 80) and
    # (110, 110); in 1300 steps the echoes of every edge pass them.
    n, dX, dT, f0, c = 160, 5.0, 5.0e-4, 25.0, 1500.0
    receivers = [(110, 80), (110, 110)]
    case = [f"nX={n}", f"nY={n}", f"layer_y={n}", "modT=1", f"dT={dT}", "nT=1300", "source_x=45", "source_y=80",
            "receiver_x=110", "receiver_y0=80", "receiver_y1=111", "receiver_dy=30"]
    sponge = run_case(exponential, str(work / "sponge"), *case)
    check(weights_are_exact(work / "sponge" / "dmap.dat"), "write_inputs.py: exact weights")
    # neutral maps: the edges reflect, but not before step 750
    neutral = run_case(relaxation, str(work / "neutral"), *case, "nT=750")
    for traces, name in [(sponge[:750], "exponential"), (neutral, "two-relaxation")]:
        for (rx, ry), trace in zip(receivers, traces.T):
            arrival = np.argmax(envelope(trace)) + 1  # frame k holds p at time (k + 1) dT
            expected = (1.2 / f0 + np.hypot(rx - 45, ry - 80) * dX / c) / dT
            check(abs(arrival - expected) <= 3,
                  f"{name}: arrival at ({rx}, {ry}) at step {arrival}, t0 + distance / speed at {expected:.1f}")

    # Echo: against a grid 60 cells wider on every side, which sends nothing
    # back to the receivers within the run.
    wide = case + [f"nX={n + 120}", f"nY={n + 120}", f"layer_y={n + 120}", "source_x=105", "source_y=140",
                   "receiver_x=170", "receiver_y0=140", "receiver_y1=171"]
    far = run_case(exponential, str(work / "far"), *wide)
    echo = (np.abs(sponge - far).max(axis=0) / np.abs(far).max(axis=0)).max()
    check(echo <= 5e-3, f"sponge: echo {echo:.2e} of the direct wave")
    layered = run_case(relaxation, str(work / "layered"), *case, "relaxation_layer=1")
    difference = np.abs(layered - sponge).max() / np.abs(sponge).max()
    check(difference <= 1e-5, f"two-relaxation layer: {difference:.1e} from the sponge")

sys.exit(1 if failures else 0)
