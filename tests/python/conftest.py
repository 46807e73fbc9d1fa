"""Shared set-up of the module's tests: a private HOME, the sample archives
made once by scripts/gen_samples.py, and a runner for fresh interpreters
(start-up state is process-wide, so its cases each get their own process)."""
import json
import os
import subprocess
import sys
import tempfile

import pytest

ROOT = os.environ.get("GSE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import gen_samples  # noqa: E402

_WORK = tempfile.TemporaryDirectory(prefix="cvekutil-tests-")
WORK = _WORK.name
os.environ["HOME"] = os.path.join(WORK, "home")
os.makedirs(os.environ["HOME"], exist_ok=True)
SAMPLES = os.path.join(WORK, "samples")
EXPECTED = gen_samples.generate(SAMPLES)
INI = os.path.join(SAMPLES, "vekconfig.INI")
KORA = os.path.join(SAMPLES, EXPECTED["kora"]["path"])
TOLVA = os.path.join(SAMPLES, EXPECTED["tolva"]["path"])


def run_python(code, cwd=None, env=None, timeout=120):
    """Runs code in a fresh interpreter with the samples' configuration."""
    e = dict(os.environ, INIVEK=INI)
    e.update(env or {})
    return subprocess.run([sys.executable, "-c", code], cwd=cwd or WORK, env=e, capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture(scope="session")
def kora():
    """The module started on the first-instrument sample, and its TMFile."""
    os.environ["INIVEK"] = INI
    import cvekutil
    return cvekutil.open_tmfile(KORA)


@pytest.fixture(scope="session")
def expected():
    return json.loads(json.dumps(EXPECTED))
