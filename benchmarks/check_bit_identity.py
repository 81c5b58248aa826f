"""``python3 benchmarks/check_bit_identity.py [--baseline PATH] [--only TEXT]``: runs the check of
benchmarks/validation/check_bit_identity.py, the command tools/build_baseline.sh names."""

import runpy
import sys
from pathlib import Path

if __name__ == "__main__":
    sys.path[0] = str(Path(__file__).resolve().parents[1])
    runpy.run_module("benchmarks.validation.check_bit_identity", run_name="__main__", alter_sys=True)
