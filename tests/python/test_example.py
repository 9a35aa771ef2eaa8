"""The example model and its script, as the README shows them."""
import json
import os
import subprocess
import sys

import varn_calculations as vc
from conftest import EXAMPLE, REPO


def run_script(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(vc.__file__), env.get("PYTHONPATH")] if p)
    return subprocess.run([sys.executable, str(REPO / "examples" / "analyse.py"), *args],
                          capture_output=True, text=True, env=env, check=False)


def test_script_summarises_the_portal_frame():
    done = run_script()
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[0] == f"{EXAMPLE}: 3 members, 2 load cases, 2 combinations"


def test_script_json_output_is_the_analysed_model():
    done = run_script(str(EXAMPLE), "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == json.loads(vc.calculate_from_file(str(EXAMPLE)))

