"""The stub package type-checks a program that uses the whole module, and that program runs."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

SAMPLE = Path(__file__).parent.parent / "typing" / "sample.py"


def test_sample_program_type_checks_against_the_stub():
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", str(SAMPLE)],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_a_call_the_stub_does_not_allow(tmp_path):
    pytest.importorskip("mypy")
    wrong = tmp_path / "wrong.py"
    wrong.write_text(
        "import vesko\n"
        "db = vesko.Vesko('x')\n"
        "db.upsert('a', 1.0, 2.0, {'k': 'v'})\n"
        "lat: str = db.get('a')[0]\n"
    )
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", str(wrong)],
        capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 1
    assert 'Argument 4 to "upsert" of "Vesko" has incompatible type' in result.stdout
    assert re.search(r"Value of type .* is not indexable", result.stdout), result.stdout


def test_sample_program_runs(tmp_path):
    result = subprocess.run([sys.executable, str(SAMPLE)], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
