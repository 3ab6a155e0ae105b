"""What a command loads: a matrix command leaves the report, plotting and cluster modules unimported."""

import json
import subprocess
import sys
from pathlib import Path

import pytest
from treefiles import nexus, random_trees, write

# Modules a matrix command never needs; each costs start-up time on every run.
HEAVY = ("dask", "distributed", "zarr", "matplotlib", "jinja2", "scipy", "plotly", "tqdm",
         "brantoveil_tools.converge", "brantoveil_tools.summarize", "brantoveil_tools.tiles")

RUN = """
import json, sys
from brantoveil_tools.cli import main
status = main(sys.argv[1:])
print(json.dumps([status, sorted(sys.modules)]))
"""


def _loaded(argv):
    done = subprocess.run([sys.executable, "-c", RUN, *argv], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    status, modules = json.loads(done.stdout.splitlines()[-1])
    return status, modules


@pytest.mark.parametrize(("metric", "suffix"), [
    ("rf", ".npy"),
    ("wrf", ".npz"),
    ("kf", ".tsv"),
])
def test_matrix_command_loads_no_heavy_module(tmp_path, metric, suffix):
    run = write(tmp_path / "run1.t", nexus(random_trees(12)))
    status, modules = _loaded([metric, str(run), "--burnin", "0", "-q", "-o", str(tmp_path / f"out{suffix}")])
    assert status == 0
    assert [m for m in modules if m.split(".")[0] in HEAVY or m.startswith(HEAVY)] == []


CHECK_NAMES = """
import brantoveil_tools
import brantoveil_tools.summarize.cli  # what `brantoveil summarize` imports
from brantoveil_tools import SummaryResult, summarize
print(callable(summarize), callable(brantoveil_tools.summarize), SummaryResult.__name__)
"""


def test_summarize_stays_the_function_after_its_subpackage_loads():
    done = subprocess.run([sys.executable, "-c", CHECK_NAMES], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["True", "True", "SummaryResult"]


@pytest.mark.parametrize(("argv", "expected"), [
    # The options of converge and summarize are added only when their command is parsed.
    (["converge", "--help"], "--min-freq F"),
    (["summarize", "--help"], "majority-rule consensus"),
    (["--help"], "convergence report of MCMC runs"),
])
def test_help_of_lazily_built_commands_is_complete(capsys, argv, expected):
    from brantoveil_tools.cli import main

    assert main(argv) == 0
    assert expected in capsys.readouterr().out


def test_the_launcher_loads_no_numpy_before_it_can_catch_ctrl_c():
    code = "import sys, brantoveil_tools.command; print('numpy' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["False"], done.stderr


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="watches /proc")
@pytest.mark.parametrize("delay", [0.0, 0.05, 0.1, 0.2, 0.4])
def test_ctrl_c_at_any_moment_of_a_command_is_one_line(tmp_path, delay):
    import os
    import signal
    import time

    run = write(tmp_path / "run1.t", nexus(random_trees(200)))
    command = subprocess.Popen([sys.executable, "-m", "brantoveil_tools.command", "rf", str(run), "-q",
                                "-o", str(tmp_path / "m.npy")], stderr=subprocess.PIPE, text=True)
    # From the moment NumPy starts loading (the launcher runs by then), plus `delay`: among the imports,
    # the reading, the matrix, the writing.
    maps = f"/proc/{command.pid}/maps"
    while command.poll() is None and "numpy" not in Path(maps).read_text():
        time.sleep(0.001)
    time.sleep(delay)
    command.send_signal(signal.SIGINT)
    _, err = command.communicate(timeout=120)
    # Interrupted: one line, then exit status 130, or killed by SIGINT itself, which the shell reports as
    # 130 too (Python ends so when a C extension's start-up code saw the KeyboardInterrupt).
    one_line = "brantoveil: interrupted\n"
    assert (command.returncode, err) in [(130, one_line), (-signal.SIGINT, one_line), (0, "")], err
    assert os.path.exists(tmp_path / "m.npy") == (command.returncode == 0)
