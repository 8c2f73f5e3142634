"""Shared helpers: step-by-step float32 references and subprocess runners."""

import ctypes
import ctypes.util
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

f32 = np.float32


def f32_sum(values):
    """Sum in index order, rounding to float32 after every addition."""
    total = f32(0.0)
    for v in values:
        total = f32(total + f32(v))
    return total


def f32_dot(a, b):
    """Dot product over the first min(len) components, float32, index order."""
    total = f32(0.0)
    for x, y in zip(a, b):
        total = f32(total + f32(f32(x) * f32(y)))
    return total


def f32_cosine(a, b):
    """Cosine with 0 for a zero sum of squares; dot over the common prefix."""
    na, nb = f32_dot(a, a), f32_dot(b, b)
    if na == 0 or nb == 0:
        return f32(0.0)
    return f32(f32_dot(a, b) / f32(f32(np.sqrt(na)) * f32(np.sqrt(nb))))


# The single-precision exp, log and log1p of the C library the engine calls, so
# references round exactly as the engine does.
_libm = ctypes.CDLL("ucrtbase" if sys.platform == "win32" else ctypes.util.find_library("m"))
for _name in ("expf", "logf", "log1pf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def expf(x):
    return f32(_libm.expf(float(x)))


def logf(x):
    return f32(_libm.logf(float(x)))


def log1pf(x):
    return f32(_libm.log1pf(float(x)))


def arr(*values):
    return np.array(values, dtype=np.float32)


def run_python(code, env=None, timeout=120):
    """Run `code` in a fresh interpreter; returns the CompletedProcess."""
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    return run_python
