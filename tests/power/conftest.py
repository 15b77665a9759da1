# The power tests run the real product on the simulated clock (sim/API.md).
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))
