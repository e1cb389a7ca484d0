#!/usr/bin/python3
"""Writes the seed corpus of the gateway fuzzers (tests/fuzz/corpus/<plug-in>/), in the input
format that mex_args.h decodes. Run it again after changing that format."""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
# Indices into value_of's table.
ONE, TWO, ZERO, THREE, MINUS_ONE, NAN, INF, BIG_INT, TWENTY, THIRTY = 0, 1, 2, 3, 4, 8, 9, 14, 23, 24


def volume(dims, rng, specials=False, kind=0):
    shape = len(dims)
    out = [kind, shape] + list(dims)
    n = 1
    for d in dims:
        n *= d
    for _ in range(n):
        v = rng.randrange(20, 200)
        if specials and rng.random() < 0.1:
            v = rng.choice([250, 251, 252, 253, 254, 255])
        out.append(v)
    return out


def scalar(index, kind=0):
    return [kind, 0, index]


def write(plugin, name, data):
    d = os.path.join(HERE, "corpus", plugin)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(bytes(data))


def main():
    rng = random.Random(7)
    same = [0, 1]  # an input of the first input's shape and the expected class
    for name, dims, r, flag, specials in [("valid_3d", (5, 4, 6), ONE, ZERO, False),
                                          ("valid_rician", (4, 4, 8), TWO, ONE, False),
                                          ("valid_2d", (7, 5), THREE, ZERO, False),
                                          ("valid_4d_trailing", (4, 3, 3, 1), ONE, ZERO, False),
                                          ("nan_inf_voxels", (4, 4, 4), ONE, ONE, True)]:
        noisy = volume(dims, rng, specials)
        n = len(noisy) - 2 - len(dims)
        guide = same + [rng.randrange(20, 200) for _ in range(n)]
        write("sorvane", name, [0, 0] + noisy + scalar(r) + scalar(ONE) + scalar(THIRTY) + guide + scalar(flag))
    write("sorvane", "empty", [0, 0, 0, 3, 0, 4, 2] + scalar(ONE) + scalar(ONE) + scalar(THIRTY) +
          [0, 1] + scalar(ZERO))
    write("sorvane", "nan_sigma", [0, 0] + volume((3, 3, 3), rng) + scalar(ONE) + scalar(ONE) + scalar(NAN) +
          same + [9] * 27 + scalar(ZERO))
    # 194 % 9 = 5 inputs, 194 % 3 = 2 outputs
    write("sorvane", "five_inputs_two_outputs", [194, 194] + volume((2, 2), rng))

    for name, dims, search, patch, flag, specials in [("valid_3d", (6, 6, 6), TWO, ONE, ZERO, False),
                                                      ("valid_rician", (5, 4, 8), ONE, ONE, ONE, False),
                                                      ("valid_2d", (9, 7), TWO, ZERO, ZERO, False),
                                                      ("valid_4d_trailing", (4, 4, 4, 1), THREE, TWO, ZERO,
                                                       False),
                                                      ("no_blocks", (4, 4, 4), ONE, MINUS_ONE, ZERO, False),
                                                      ("nan_inf_voxels", (5, 5, 5), ONE, ONE, ONE, True)]:
        write("blockdenoise", name, [0, 0] + volume(dims, rng, specials) + scalar(search) + scalar(patch) +
              scalar(TWENTY) + scalar(ONE) + scalar(flag))
    write("blockdenoise", "patch_too_large", [0, 0] + volume((3, 3, 3), rng) + scalar(ONE) + scalar(BIG_INT) +
          scalar(TWENTY) + scalar(ONE) + scalar(ZERO))
    write("blockdenoise", "double_noisy", [0, 0] + volume((3, 3, 3), rng, kind=14) + scalar(ONE) + scalar(ONE) +
          scalar(TWENTY) + scalar(ONE) + scalar(ZERO))


if __name__ == "__main__":
    main()
