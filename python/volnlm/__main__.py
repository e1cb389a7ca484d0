"""python3 -m volnlm COMMAND ...: the Python package's commands (batch)."""
import sys


def _main(argv):
    if not argv or argv[0] in ("-h", "--help"):
        print("usage: python3 -m volnlm batch INPUT... -o OUTDIR [options]\n"
              "  batch  denoise many inputs on dask.distributed (python3 -m volnlm batch --help)")
        return 0 if argv else 2
    if argv[0] == "batch":
        from .batch import main

        return main(argv[1:])
    print(f"python3 -m volnlm: unknown command {argv[0]!r}; expected batch", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
