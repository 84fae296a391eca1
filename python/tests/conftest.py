"""Shared fixtures: the repository, the command line to compare with, seeded data."""

import os
import pathlib
import shutil

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def program():
    """The command line built beside the module (TARN_PROGRAM names another)."""
    named = os.environ.get("TARN_PROGRAM")
    candidates = [named] if named else [ROOT / "build/python/tarn", ROOT / "build/release/tarn",
                                        ROOT / "build/debug/tarn", shutil.which("tarn")]
    for candidate in candidates:
        if candidate and os.access(candidate, os.X_OK):
            return str(candidate)
    pytest.fail("no tarn program: build it with cmake --workflow --preset python")


def clustered(n, d, seed, scale=10.0):
    """Seeded points around a few centres: no two distances alike in practice."""
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-scale, scale, size=(5, d))
    return centres[rng.integers(0, 5, size=n)] + rng.normal(size=(n, d))
