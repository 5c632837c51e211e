#!/usr/bin/env python3
"""Checks `tessaro_example_inputs summary` on a small genout.dat: receivers
numbered from 1 with their coordinates, the peak |p| with its step and time,
modT 1 when modT.dat is absent; NaN and inf samples counted, with their first
frame and step, for the file and in place of a receiver's peak.

    example_summary_test.py EXAMPLE_INPUTS
"""
import struct
import subprocess
import sys
from pathlib import Path

from scratch import scratch_dir

program = sys.argv[1]
# 3 frames of 2 samples; receiver 2 (listed first in x order) peaks negative
finite = [0.125, 0.0, -0.25, -0.5, 0.375, 0.25]
# receiver 1 is inf in frame 2, receiver 2 NaN in frame 1, after a finite 8.5e36
blown_up = [0.125, 8.5e36, -0.25, float("nan"), float("inf"), 0.25]
rows = [
    # frames, modT.dat, header tail, lines between the header and the receiver lines, receiver lines
    (finite, None, "one frame every 1 steps, 0.0005 s", [],
     ["       1    30    12  0.375            2  0.0015", "       2    20    40  0.5              1  0.0010"]),
    (finite, 10, "one frame every 10 steps, 0.005 s", [],
     ["       1    30    12  0.375           20  0.0105", "       2    20    40  0.5             10  0.0055"]),
    (blown_up, 10, "one frame every 10 steps, 0.005 s", ["2 NaN or inf samples, the first in frame 1 (step 10)"],
     ["       1    30    12  1 NaN or inf from frame 2 (step 20)",
      "       2    20    40  1 NaN or inf from frame 1 (step 10)"]),
]
failed = False
for frames, modT, header, notes, lines in rows:
    row_failed = False
    with scratch_dir("summary", lambda: row_failed) as d:
        files = {"ncoordsout.dat": struct.pack("<i", 2), "dT.dat": struct.pack("<f", 5.0e-4),
                 "outc.dat": struct.pack("<4i", 30, 12, 20, 40), "genout.dat": struct.pack("<6f", *frames)}
        if modT is not None:
            files["modT.dat"] = struct.pack("<i", modT)
        for name, data in files.items():
            (Path(d) / name).write_bytes(data)
        run = subprocess.run([program, "summary", d], capture_output=True, text=True)
        expected = "\n".join([f"{d}/genout.dat: 3 frames of 2 float32 pressure samples ({header})", *notes,
                              "receiver     x     y  peak |p|      step  time (s)", *lines,
                              "outc is not sorted by x: on more than one GPU the samples are grouped by GPU", ""])
        if run.returncode != 0 or run.stdout != expected:
            failed = row_failed = True
            print(f"modT.dat {modT}: status {run.returncode}\n{run.stderr}--- got\n{run.stdout}--- expected\n{expected}")
sys.exit(1 if failed else 0)
