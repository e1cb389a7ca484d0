"""`cmake --install` into a temporary prefix: the tool in P/bin, the plug-ins in P/lib/volnlm,
the Python package where Debian's Python finds it with PYTHONPATH, each working from there."""
import glob
import os
import subprocess
import sys

import pytest

BUILD = os.environ.get("VOLNLM_BUILD_DIR")
pytestmark = pytest.mark.skipif(BUILD is None, reason="run by CTest, which names the build")


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    prefix = tmp_path_factory.mktemp("prefix")
    subprocess.run([os.environ["VOLNLM_CMAKE_COMMAND"], "--install", BUILD, "--prefix",
                    str(prefix)], check=True, capture_output=True, timeout=300)
    return prefix


def clean_env(**extra):
    """The environment without the build's PYTHONPATH, so only the installed package is seen."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env.update(extra)
    return env


def test_python_package_is_installed_and_works_from_the_prefix(prefix, tmp_path):
    site = prefix / "lib" / "python3" / "dist-packages"
    code = ("import numpy as np, volnlm, volnlm.demo; print(volnlm.__file__); "
            "print(volnlm.__version__); print(volnlm.denoise(np.ones((6, 6, 6)), sigma=1.0).shape)")
    run = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, timeout=120, env=clean_env(PYTHONPATH=str(site)))
    assert run.returncode == 0, run.stderr
    where, version, shape = run.stdout.split("\n")[:3]
    assert where == str(site / "volnlm" / "__init__.py")
    assert version == os.environ["VOLNLM_CMAKE_VERSION"]
    assert shape == "(6, 6, 6)"
    # Every module of the package and the compiled one are there.
    source = os.path.join(os.environ["VOLNLM_SOURCE_DIR"], "python", "volnlm")
    installed = set(os.listdir(site / "volnlm"))
    assert {os.path.basename(p) for p in glob.glob(os.path.join(source, "*.py"))} <= installed
    assert any(name.startswith("_core.") and name.endswith(".so") for name in installed)


def test_command_line_tool_is_installed_in_bin(prefix):
    if "VOLNLM_CLI_EXE" not in os.environ:
        pytest.skip("the command-line tool is not built here")
    tool = prefix / "bin" / "volnlm"
    run = subprocess.run([str(tool), "--version"], capture_output=True, text=True, timeout=60,
                         env=clean_env(PATH=str(prefix / "bin")))
    assert run.returncode == 0, run.stderr
    assert run.stdout == f"volnlm {os.environ['VOLNLM_CMAKE_VERSION']}\n"


def test_every_built_plugin_is_installed(prefix):
    octave = os.environ.get("VOLNLM_OCTAVE_DIR", "")
    built = sorted(os.path.basename(p) for p in glob.glob(os.path.join(octave, "*.mex")))
    if not built:
        pytest.skip("no GNU Octave plug-ins are built here")
    assert built == ["blockdenoise.mex", "sorvane.mex", "volnlm_denoise.mex", "volnlm_estimate_sigma.mex"]
    folder = prefix / "lib" / "volnlm" / "octave"
    # each plug-in with its help file beside it
    assert sorted(os.listdir(folder)) == sorted(built + [n.replace(".mex", ".m") for n in built])
    octave = os.environ.get("VOLNLM_OCTAVE_CLI")
    if octave:
        code = (f"addpath('{folder}'); a = sorvane(ones(5, 4, 3), 1, 0, 1, ones(5, 4, 3), 0); "
                "b = blockdenoise(single(ones(5, 4, 3)), 1, 1, 1, 1, 0); "
                "printf('%s %s %s\\n', class(b), mat2str(size(a)), mat2str(size(b)))")
        run = subprocess.run([octave, "--no-gui", "--norc", "--quiet", "--eval", code],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == "single [5 4 3] [5 4 3]"
        code = (f"addpath('{folder}'); [a, info] = volnlm_denoise(ones(5, 4, 3, 2), 'Sigma', 0.5); "
                "s = volnlm_estimate_sigma(ones(5, 4, 3, 2)); "
                "printf('%s %s %s\\n', mat2str(size(a)), info.Method, mat2str(s))")
        run = subprocess.run([octave, "--no-gui", "--norc", "--quiet", "--eval", code],
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == "[5 4 3 2] guided [0;0]"
        for name in ("volnlm_denoise", "volnlm_estimate_sigma"):
            run = subprocess.run([octave, "--no-gui", "--norc", "--quiet", "--eval",
                                  f"addpath('{folder}'); help {name}"],
                                 capture_output=True, text=True, timeout=120)
            assert run.returncode == 0, run.stderr
            assert f"= {name}(noisy, Name, Value, ...)" in run.stdout
            assert "@" not in run.stdout.split("Example")[0], "a placeholder left in the help"
        for name in ("sorvane", "blockdenoise"):
            run = subprocess.run([octave, "--no-gui", "--norc", "--quiet", "--eval",
                                  f"addpath('{folder}'); help {name}"],
                                 capture_output=True, text=True, timeout=120)
            assert run.returncode == 0, run.stderr
            assert f"result = {name}(noisy, search_radius, " in run.stdout
