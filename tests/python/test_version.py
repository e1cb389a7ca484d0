"""One version: the project version in CMakeLists.txt is what the Python package, the record of
a run and the pip metadata (through setup.py) say."""
import os
import runpy
import types
import tomllib

import numpy as np
import pytest

import volnlm

SOURCE = os.environ.get("VOLNLM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


def load_setup():
    # Run under another name than __main__, so setup() itself is not called.
    names = runpy.run_path(os.path.join(SOURCE, "setup.py"), run_name="volnlm_setup")
    return types.SimpleNamespace(**names)


@pytest.mark.skipif("VOLNLM_CMAKE_VERSION" not in os.environ, reason="run by CTest, which sets it")
def test_python_version_is_the_cmake_project_version():
    cmake = os.environ["VOLNLM_CMAKE_VERSION"]
    assert volnlm.__version__ == cmake
    assert load_setup().project_version() == cmake
    _, record = volnlm.denoise(np.ones((4, 4, 4)), sigma=1.0, return_params=True)
    assert record["GeneratedBy"] == [{"Name": "volnlm", "Version": cmake}]


def test_pyproject_leaves_the_version_to_setup():
    with open(os.path.join(SOURCE, "pyproject.toml"), "rb") as f:
        project = tomllib.load(f)["project"]
    assert "version" not in project
    assert "version" in project["dynamic"]


@pytest.mark.parametrize("text, version", [
    ('project(volnlm VERSION 0.1.0 LANGUAGES CXX)\n', "0.1.0"),
    ('cmake_minimum_required(VERSION 3.25)\nproject(x\n  VERSION 2.10.3\n  LANGUAGES CXX)\n',
     "2.10.3"),
    ('cmake_minimum_required(VERSION 3.25)\nproject(x DESCRIPTION "y" VERSION 1.2)\n', "1.2"),
    ('cmake_minimum_required(VERSION 3.25)\nproject(x LANGUAGES CXX)\n', None),
])
def test_setup_reads_the_project_version_not_the_minimum_cmake_version(tmp_path, text, version):
    path = tmp_path / "CMakeLists.txt"
    path.write_text(text)
    setup = load_setup()
    if version is None:
        with pytest.raises(RuntimeError, match="no project"):
            setup.project_version(path)
    else:
        assert setup.project_version(path) == version
