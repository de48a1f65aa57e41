"""The package installs offline with pip into a fresh environment and brings the nmb command,
its type information and its one version."""

import os
import shutil
import subprocess

import pytest

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "clients", "python")


def test_pip_installs_the_package_and_the_command_without_network(tmp_path):
    try:
        import ensurepip  # noqa: F401  (Debian ships it in python3-venv)
    except ImportError:
        pytest.skip("python3-venv is not installed")
    # pip builds in the source folder; a copy keeps the checkout clean.
    source = tmp_path / "src"
    shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__"))
    env_dir = tmp_path / "env"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(env_dir)], check=True)
    environment = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    installed = subprocess.run([str(env_dir / "bin" / "pip"), "install", "--no-index", "--no-build-isolation",
                                str(source)],
                               capture_output=True, text=True, env=environment, timeout=240)
    assert installed.returncode == 0, installed.stdout + installed.stderr
    for command in ([str(env_dir / "bin" / "nmb"), "--help"],
                    [str(env_dir / "bin" / "python"), "-m", "nmbclient", "get", "--help"]):
        done = subprocess.run(command, capture_output=True, text=True, env=environment, cwd=str(tmp_path))
        assert done.returncode == 0 and "usage: nmb" in done.stdout, done.stderr
    where = subprocess.run([str(env_dir / "bin" / "python"), "-c",
                            "import importlib.metadata, os, nmbclient; print(nmbclient.__file__); "
                            "print(os.path.isfile(os.path.join(os.path.dirname(nmbclient.__file__), 'py.typed'))); "
                            "print(importlib.metadata.version('nmbclient') == nmbclient.__version__)"],
                           capture_output=True, text=True, env=environment, cwd=str(tmp_path))
    package, typed, one_version = where.stdout.split()
    assert package.startswith(str(env_dir)) and typed == "True" and one_version == "True", where.stderr
    # The dashboard's page and its vendored chart library come with the package.
    files = subprocess.run([str(env_dir / "bin" / "python"), "-c",
                            "from nmbclient.tools.dashboard.server import static_files; print(sorted(static_files()))"],
                           capture_output=True, text=True, env=environment, cwd=str(tmp_path))
    for path in ("/", "/static/dashboard.js", "/static/vendor/uPlot.iife.min.js", "/static/vendor/LICENSE.uPlot"):
        assert "'%s'" % path in files.stdout, files.stdout + files.stderr
