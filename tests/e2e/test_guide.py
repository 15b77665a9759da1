"""The integration guide's reference tables against the code: each
program's exit codes, the state words of "result", the members of the
install record and the phases, in the order the guide gives them. A table
edited by hand, or a constant changed in the code alone, fails here."""

import json
import re
import sys
from pathlib import Path

import pytest

from test_install_guard import ADMISSION, OUTCOMES

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "power"))
from invariants import STATE_WORDS, install_records, record  # noqa: E402

GUIDE = (ROOT / "docs" / "integration.md").read_text()


def rows(title):
    """Cells of the first table under the heading that ends with title."""
    heading = re.search(r"(?m)^#+ .*" + re.escape(title) + r"\n", GUIDE)
    assert heading, f"no heading {title!r} in the guide"
    table = re.search(r"(?m)^(\|.*\|\n)+", GUIDE[heading.end():]).group(0)
    return [[cell.strip() for cell in line.strip("|").split("|")] for line in table.splitlines()[2:]]


def first_column(title):
    return [row[0].strip('"') for row in rows(title)]


def declared(path, pattern):
    """The values of the constants pattern matches, in declaration order."""
    return re.findall(pattern, (ROOT / path).read_text())


EXIT = r"constexpr int EXIT_\w+ = (\d+);"
PHASE = r'constexpr const char\* PHASE_\w+ = "(\w+)";'
SAMPLE = json.loads(record("write_verified", 4096, True, True, True, True))

TABLES = [
    ("`tavrine-boot-control`", declared("boot-control/boot_control.cpp", EXIT)),
    ("`tavrine-ota-switch`", declared("ota-switch/ota_switch.cpp", EXIT)),
    ("`tavrine-install-guard`", declared("install-guard/install_guard.cpp", EXIT)),
    ('"result"', [word.decode() for word in STATE_WORDS]),
    ('"install-result.json"', list(SAMPLE)),
    ("Phases, in the order the guard can reach them", declared("install-guard/install_guard.cpp", PHASE)),
]


@pytest.mark.parametrize("title,expected", TABLES, ids=[t for t, _ in TABLES])
def test_reference_table_follows_the_code(title, expected):
    assert expected, f"nothing found in the source for {title}"
    assert first_column(title) == expected


def test_record_member_types():
    kinds = {bool: "boolean", int: "integer", str: "string"}
    assert [(row[0].strip('"'), row[1]) for row in rows('"install-result.json"')] == \
        [(key, kinds[type(value)]) for key, value in SAMPLE.items()]


def test_every_phase_the_install_tests_see_is_in_the_guide():
    seen = {param.values[1] for param in OUTCOMES}
    seen |= {json.loads(text)["phase"] for text in install_records(4096)}
    assert seen <= set(first_column("Phases, in the order the guard can reach them"))


# What each refused row of the guard's admission test breaks, in the words
# the guide uses for the exit code that row sees.
SUBJECTS = {"no": "argument", "two": "argument", "wrong": "argument", "run": "run id",
            "cfg": "configuration", "image": "image", "workspace": "ANDROID_PROPERTY_WORKSPACE",
            "upgrader": "sys.zkupgrade.state", "switch": "switch lock"}


def test_guard_refusals_read_as_the_admission_test_sees_them():
    meaning = {int(row[0]): row[2] for row in rows("`tavrine-install-guard`")}
    for name, *_, code in ADMISSION:
        if not name.endswith("-passes"):  # those rows end at a later check
            assert SUBJECTS[name.split("-")[0]] in meaning[code], name
