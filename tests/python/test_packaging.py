"""Packaging: the sdist and the wheel built from it, and the wheel once installed into a
fresh virtual environment: a program runs, and mypy and stubtest find its stub.

Slow (a full release build of the extension): deselect with `-m "not slow"`. Everything
is built into temporary directories, including the CMake build tree, so the test shares
no state with other builds of the checkout.
"""

from __future__ import annotations

import importlib.util
import os
import pathlib
import subprocess
import sys
import sysconfig
import tarfile
import zipfile

import pytest
from conftest import ROOT, project_version

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(importlib.util.find_spec("build") is None, reason="the 'build' frontend is not installed"),
]

PROJECT = "corvane_core"
VERSION = project_version()


def clean_env() -> dict[str, str]:
    """The environment without anything that points at the source tree or a build."""
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH", "PYTHONHOME")}
    env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    return env


def run(cmd: list[str], cwd: pathlib.Path, timeout: float = 1800) -> subprocess.CompletedProcess[str]:
    result = subprocess.run(cmd, cwd=cwd, env=clean_env(), capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{' '.join(cmd)} failed:\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result


def expected_tag() -> str:
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp314-cp314-{platform}"


@pytest.fixture(scope="module")
def dist(tmp_path_factory: pytest.TempPathFactory) -> tuple[pathlib.Path, pathlib.Path]:
    """The sdist, and the wheel built from that sdist (as a release would be)."""
    out = tmp_path_factory.mktemp("dist")
    build_dir = tmp_path_factory.mktemp("cmake-build")
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out), f"-Cbuild-dir={build_dir}"],
        cwd=ROOT)
    sdists, wheels = list(out.glob("*.tar.gz")), list(out.glob("*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1, sdists + wheels
    return sdists[0], wheels[0]


def test_wheel_tag_layout_and_metadata(dist: tuple[pathlib.Path, pathlib.Path]) -> None:
    wheel = dist[1]
    name, version, tag = wheel.stem.split("-", 2)
    assert (name, version, tag) == (PROJECT, VERSION, expected_tag())
    info = f"{PROJECT}-{VERSION}.dist-info/"
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(info + "METADATA").decode()
        wheel_info = archive.read(info + "WHEEL").decode()
    # The module and its stub-only package, nothing else: no py.typed or second copy of
    # the stub at the top of site-packages, nothing from the source tree.
    assert {n for n in names if not n.startswith(info)} == {
        f"{PROJECT}{sysconfig.get_config_var('EXT_SUFFIX')}", f"{PROJECT}-stubs/__init__.pyi"}
    assert "Requires-Python: >=3.14" in metadata
    assert "Classifier: Typing :: Typed" in metadata
    assert "Root-Is-Purelib: false" in wheel_info


def test_sdist_contents(dist: tuple[pathlib.Path, pathlib.Path]) -> None:
    prefix = f"{PROJECT}-{VERSION}/"
    with tarfile.open(dist[0]) as archive:
        names = {n.removeprefix(prefix) for n in archive.getnames()}
    assert {"pyproject.toml", "CMakeLists.txt", "README.md", "PKG-INFO",
            "python/corvane_core.pyi", "python/module.cpp"} <= names
    assert not [n for n in names if n.startswith(("build/", "tests/", ".ci/", "out/"))]


@pytest.fixture(scope="module")
def venv_python(dist: tuple[pathlib.Path, pathlib.Path], tmp_path_factory: pytest.TempPathFactory) -> pathlib.Path:
    """A fresh venv (seeing the system's packages, such as mypy) with the wheel installed."""
    venv = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)], cwd=venv)
    python = venv / "bin" / "python"
    run([sys.executable, "-m", "pip", "--python", str(python), "install", "--no-deps",
         "--no-build-isolation", "--no-index", str(dist[1])], cwd=venv)
    return python


def test_installed_module_runs_a_program(venv_python: pathlib.Path, tmp_path: pathlib.Path) -> None:
    probe = "import corvane_core\nprint(corvane_core.version(), corvane_core.__file__)\n"
    version, location = run([str(venv_python), "-c", probe], cwd=tmp_path).stdout.split()
    assert version == VERSION
    assert pathlib.Path(location).resolve().is_relative_to(venv_python.parent.parent.resolve())
    result = run([str(venv_python), str(ROOT / "examples" / "typed_usage.py")], cwd=tmp_path)
    assert "nodes reduced to" in result.stdout


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_installed_stub_serves_mypy_and_matches_the_module(venv_python: pathlib.Path,
                                                           tmp_path: pathlib.Path) -> None:
    # No MYPYPATH: both tools must find the stub where the wheel installed it.
    example = tmp_path / "typed_usage.py"
    example.write_text((ROOT / "examples" / "typed_usage.py").read_text())
    run([str(venv_python), "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(example)],
        cwd=tmp_path)
    run([str(venv_python), "-m", "mypy.stubtest", PROJECT], cwd=tmp_path)
