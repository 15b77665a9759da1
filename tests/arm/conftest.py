# The ARM release on the simulated clock; the `clock` fixture is documented
# in sim/API.md (arch="armhf").
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "sim"))

from clockfixture import clock, pytest_configure, pytest_runtest_makereport  # noqa: E402,F401
