#!/usr/bin/env python3
"""Writes a complete input set for both programs into a directory.

    python3 examples/write_inputs.py DIR [name=value ...]

Edit the parameters below, or override any of them on the command line
(nX=200 nY=150 nT=500 ...). Then run either program in DIR.
"""
import resource
import sys
from pathlib import Path

import numpy as np

# Grid and time
nX, nY = 400, 300  # cells along x (split over the GPUs) and y
dX = 5.0  # grid step of both axes (m)
dT = 5.0e-4  # time step (s)
nT = 1600  # steps
modT = 10  # one frame of genout.dat every modT steps
# Medium: speed (m/s) and density (kg/m^3) above row layer_y and from it on
c_top, rho_top = 1500.0, 1000.0
c_bottom, rho_bottom = 2000.0, 1800.0
layer_y = 200  # nY: homogeneous
# Source: a Ricker pulse of peak frequency f0 (Hz) peaking at 1.2 / f0,
# added into p at one cell: its samples are pressure increments (Pa)
f0 = 25.0
source_x, source_y = 100, 100
amplitude = 1.0
# Receivers: a line along y in column receiver_x
receiver_x = 300
receiver_y0, receiver_y1, receiver_dy = 50, 250, 10  # rows y0, y0 + dy, ... < y1
# Absorbing layers: the 8 outermost cells of every edge are never updated;
# in the `layer` cells inside them a wave decays at a rate d (1/s) that grows
# with the cube of the depth up to d_max = 2 c ln(1 / R) / (layer dX), which
# would leave it the fraction R of its amplitude on its way through the layer
# and back. The exponential program gets the sponge a_exp = exp(-d dT);
# the two-relaxation program the same decay through its mechanism 1
# (relaxation_layer=1) or neutral maps (relaxation_layer=0).
layer = 32
R = 1e-3
relaxation_layer = 0


def refuse(reason):
    """A parameter that cannot give a run: one line and status 2, before anything is written."""
    print(f"write_inputs.py: {reason}", file=sys.stderr)
    sys.exit(2)


if len(sys.argv) < 2:
    print(__doc__.strip(), file=sys.stderr)
    sys.exit(2)
for arg in sys.argv[2:]:  # name=value overrides of the parameters above
    name, _, value = arg.partition("=")
    if not isinstance(globals().get(name), (int, float)):
        refuse(f"no parameter {name}")
    try:
        globals()[name] = type(globals()[name])(value)
    except ValueError:
        refuse(f"not a value for {name}: {value}")


def finite_positive(**values):
    for name, value in values.items():
        if not (np.isfinite(value) and value > 0):
            refuse(f"{name}={value} must be finite and positive")


def memory_available():
    """Bytes of memory available (MemAvailable, or less under an address-space
    limit), or None where the system says neither."""
    limits = []
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft != resource.RLIM_INFINITY:
        limits.append(soft)
    try:
        with open("/proc/meminfo") as info:
            limits += [int(line.split()[1]) * 1024 for line in info if line.startswith("MemAvailable:")]
    except OSError:
        pass
    return min(limits) if limits else None


if nX < 17 or nY < 17:
    refuse(f"nX={nX}, nY={nY}: each must be at least 17, the 8 frozen cells on either side and one updated")
if nX * nY > 2147483647:
    refuse(f"nX={nX}, nY={nY}: the programs take at most 2147483647 cells, not {nX * nY}")
if nT < 0:
    refuse(f"nT={nT} must not be negative")
if modT < 1:
    refuse(f"modT={modT} must be at least 1")
finite_positive(dX=dX, dT=dT, c_top=c_top, rho_top=rho_top, c_bottom=c_bottom, rho_bottom=rho_bottom, f0=f0)
if not np.isfinite(amplitude):
    refuse(f"amplitude={amplitude} must be finite")
if receiver_dy <= 0:
    refuse(f"receiver_dy={receiver_dy} must be positive")
if receiver_y1 <= receiver_y0:
    refuse(f"receiver_y0={receiver_y0}, receiver_y1={receiver_y1}: no receiver, y0 must be below y1")
if layer < 0:
    refuse(f"layer={layer} must not be negative")
if not 0 < R < 1:
    refuse(f"R={R} must lie strictly between 0 and 1: the layer leaves the fraction R of a wave")
if relaxation_layer not in (0, 1):
    refuse(f"relaxation_layer={relaxation_layer} must be 0 or 1")
# About 120 bytes per cell at the peak (the maps in float64 and their
# intermediates) and 24 per step.
needed, available = 120 * nX * nY + 24 * nT, memory_available()
if available is not None and needed > available:
    refuse(f"nX={nX}, nY={nY}, nT={nT} need about {needed / 2**30:.1f} GiB of memory, "
           f"{available / 2**30:.1f} GiB are available")
out = Path(sys.argv[1])
if out.exists() and not out.is_dir():
    refuse(f"{out} exists and is not a directory")


# The exact 16th-order staggered weights: sum c_k (2k - 1)^(2m - 1) = [m == 1], m = 1 ... 8
weights = np.array([41409225 / 33554432, -3578575 / 33554432, 3864861 / 167772160, -1254825 / 234881024,
                    325325 / 301989888, -61425 / 369098752, 7425 / 436207616, -143 / 167772160])
# The speeds on the grid: rows y < layer_y above, y >= layer_y below
speeds = [speed for speed, rows in [(c_top, min(layer_y, nY)), (c_bottom, nY - max(layer_y, 0))] if rows > 0]
courant = max(speeds) * dT / dX
limit = 1 / (np.sqrt(2) * np.abs(weights).sum())
if courant >= limit:
    refuse(f"unstable: c dT / dX = {courant:.3f} is not below {limit:.3f}")
outc = [(receiver_x, ry) for ry in range(receiver_y0, receiver_y1, receiver_dy)]
for px, py in [(source_x, source_y)] + outc:
    if not (8 <= px < nX - 8 and 8 <= py < nY - 8):
        refuse(f"point ({px}, {py}) is not in the updated part of the grid")


def maps():
    """The maps in grid order, element (x, y) at x * nY + y, by file stem."""
    x, y = np.meshgrid(np.arange(nX), np.arange(nY), indexing="ij")
    below = y >= layer_y
    c = np.where(below, c_bottom, c_top)
    rho = np.where(below, rho_bottom, rho_top)
    # Depth into the absorbing layer: 0 inside it, 1 next to the frozen cells
    edge = np.minimum(np.minimum(x, nX - 1 - x), np.minimum(y, nY - 1 - y)) - 8
    depth = np.clip(1 - edge / layer, 0, 1) if layer > 0 else np.zeros((nX, nY))
    d = 2 * c.max() * np.log(1 / R) / (max(layer, 1) * dX) * depth**3
    a_exp = np.exp(-d * dT).astype(np.float32)
    # bpml1 = a_exp and apml1 = a_exp - 1 decay the wave as the sponge does
    bpml1 = a_exp if relaxation_layer else np.ones((nX, nY), np.float32)
    zeros, ones = np.zeros((nX, nY), np.float32), np.ones((nX, nY), np.float32)
    result = {"c": c, "rho": rho, "K": rho * c * c, "beta": zeros, "a_exp": a_exp, "kappax": ones, "kappau": ones}
    for side in "xu":
        result.update({f"apml{side}1": bpml1 - 1, f"bpml{side}1": bpml1, f"apml{side}2": zeros, f"bpml{side}2": ones})
    return result


try:
    fields = maps()
    t = np.arange(nT) * dT - 1.2 / f0
    a = (np.pi * f0 * t) ** 2
    ricker = amplitude * (1 - 2 * a) * np.exp(-a)
except MemoryError:
    refuse(f"nX={nX}, nY={nY}, nT={nT}: the arrays do not fit in memory")

dmap = np.zeros(18)
dmap[2:17:2] = weights  # entries 2, 4, ..., 16; entry 3 (transverse) stays 0
i4, f4 = "<i4", "<f4"
files = [(name + ".dat", [value], i4) for name, value in [
    ("nX", nX), ("nY", nY), ("nT", nT), ("nTic", nT), ("modT", modT), ("ndmap", 1), ("ncoords_add", 1),
    ("ncoordsout", len(outc))]]
files += [(name + ".dat", [value], f4) for name, value in [("dX", dX), ("dY", dX), ("dT", dT), ("c0", c_top)]]
files += [("dmap.dat", dmap, f4), ("d.dat", np.zeros(18), f4), ("dcmap.dat", np.zeros((nX, nY)), i4)]
files += [(name + ".dat", value, f4) for name, value in fields.items()]
files += [("icc_add.dat", [source_x, source_y], i4), ("divev_add.dat", ricker, f4), ("outc.dat", outc, i4)]
try:
    out.mkdir(parents=True, exist_ok=True)
    for name, values, dtype in files:
        np.asarray(values, dtype).ravel().tofile(out / name)
except OSError as error:
    print(f"write_inputs.py: cannot write {out}: {error.strerror}", file=sys.stderr)
    sys.exit(1)
print(f"{out}: {nX} x {nY} cells, {nT} steps, c dT / dX = {courant:.3f} (limit {limit:.3f}), "
      f"{min(speeds) / (2.5 * f0 * dX):.1f} cells per shortest wavelength, {len(outc)} receivers")
