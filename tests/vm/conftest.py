# The VM clock's tests: sim/vmclock.py, the power tests' transaction table.
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "sim"))
sys.path.insert(0, str(ROOT / "tests" / "power"))
