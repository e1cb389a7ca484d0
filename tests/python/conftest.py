"""Shared helpers of the Python tests: seeded synthetic volumes with known noise."""
import numpy as np
import pytest


def phantom(shape=(48, 44, 40)):
    """A head-like phantom with maximum 1: zero background, a ramped ellipsoid, a bright core
    and a dim sphere, so it has flat regions, smooth ramps and oblique edges."""
    axes = [np.linspace(-1.0, 1.0, n) for n in shape]
    if len(shape) == 2:
        x, y = np.meshgrid(*axes, indexing="ij")
        z = np.zeros_like(x)
    else:
        x, y, z = np.meshgrid(*axes, indexing="ij")
    v = np.zeros(shape)
    head = x**2 / 0.85 + y**2 / 0.75 + z**2 / 0.8 < 1.0
    v[head] = 0.6 + 0.15 * x[head] + 0.1 * y[head]
    v[(x - 0.2) ** 2 + y**2 / 0.6 + z**2 < 0.15] = 1.0
    v[(x + 0.35) ** 2 + (y - 0.3) ** 2 + z**2 < 0.03] = 0.35
    return np.asfortranarray(v)


def gaussian(clean, sigma, seed):
    rng = np.random.default_rng(seed)
    return np.asfortranarray(clean + rng.normal(0.0, sigma, clean.shape))


def rician(clean, sigma, seed):
    rng = np.random.default_rng(seed)
    re = clean + rng.normal(0.0, sigma, clean.shape)
    im = rng.normal(0.0, sigma, clean.shape)
    return np.asfortranarray(np.sqrt(re * re + im * im))


def psnr(out, clean, peak=1.0):
    err = np.asarray(out, np.float64) - clean
    return 20.0 * np.log10(peak / np.sqrt(np.mean(err * err)))


def same_bits(a, b):
    """Equal shapes, dtypes and bit patterns (NaN equal to itself, -0.0 not equal to 0.0)."""
    a = np.asarray(a)
    b = np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    unsigned = {4: np.uint32, 8: np.uint64}[a.dtype.itemsize]
    return np.array_equal(np.ascontiguousarray(a).view(unsigned), np.ascontiguousarray(b).view(unsigned))


@pytest.fixture(scope="session")
def noisy_volume():
    """A small noisy phantom in the units of an 8-bit scan (maximum 250, Rician sigma 12)."""
    return rician(250.0 * phantom((20, 18, 16)), 12.0, seed=7)
