"""Shared fixtures: every test works on a private copy of the built module.

The data folder lives beside the module file, so tests never import the
installed module itself: they copy its file into a temporary folder and
import that copy, in this process or in a fresh subprocess.
"""
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

# The scan's cache of every test run goes to a folder of its own, never the
# user's cache folder.
os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="vardex-test-cache-")


def built_module_file() -> Path:
    """The compiled module to test: $VARDEX_SO, else the installed one."""
    override = os.environ.get("VARDEX_SO")
    if override:
        return Path(override)
    found = importlib.util.find_spec("vardex")
    if found is None or found.origin is None:
        pytest.exit("vardex is not built/installed; run scripts/test.sh", returncode=3)
    return Path(found.origin)


def copy_module(folder: Path) -> Path:
    folder.mkdir(parents=True, exist_ok=True)
    target = folder / built_module_file().name
    shutil.copy2(built_module_file(), target)
    return folder


class Child:
    """Runs Python code in a fresh interpreter that imports a private module copy."""

    def __init__(self, module_dir: Path, cwd: Path):
        self.module_dir = module_dir
        self.cwd = cwd

    @property
    def data_dir(self) -> Path:
        return self.module_dir / "trace_data_for_vardex"

    def env(self, extra=None):
        env = dict(os.environ)
        env["PYTHONPATH"] = str(self.module_dir)
        env["PYTHONIOENCODING"] = "utf-8"
        env.pop("VARDEX_SO", None)
        if extra:
            env.update(extra)
        return env

    def run(self, code, *args, env=None, check=True, timeout=120, stdin=None):
        proc = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code), *args],
            cwd=self.cwd, env=self.env(env), capture_output=True, text=True,
            encoding="utf-8", timeout=timeout, input=stdin,
        )
        if check and proc.returncode != 0:
            raise AssertionError(
                f"child failed ({proc.returncode}):\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
        return proc


def pytest_generate_tests(metafunc):
    # Modules that set BOTH_ENGINES run every traced child twice: with the
    # default sys.monitoring engine and with the trace function alone.
    if getattr(metafunc.module, "BOTH_ENGINES", False) and "child" in metafunc.fixturenames:
        if "engine" not in metafunc.fixturenames:
            metafunc.fixturenames.append("engine")
        metafunc.parametrize("engine", ["monitoring", "settrace"], indirect=True)


@pytest.fixture
def engine(request, monkeypatch):
    """The engine of traced children: "monitoring" (the default) or "settrace"."""
    name = getattr(request, "param", "monitoring")
    if name == "settrace":
        monkeypatch.setenv("VARDEX_ENGINE", "settrace")
    else:
        monkeypatch.delenv("VARDEX_ENGINE", raising=False)
    return name


@pytest.fixture
def child(tmp_path):
    """A fresh-interpreter runner with its own module copy and data folder."""
    work = tmp_path / "work"
    work.mkdir()
    return Child(copy_module(tmp_path / "module"), work)


@pytest.fixture(scope="session")
def vardex_module(tmp_path_factory):
    folder = copy_module(tmp_path_factory.mktemp("module"))
    sys.path.insert(0, str(folder))
    try:
        import vardex
    finally:
        sys.path.remove(str(folder))
    assert Path(vardex.__file__).parent == folder
    return vardex


@pytest.fixture
def vx(vardex_module, tmp_path, monkeypatch):
    """The in-process module copy with a private result file and fresh report state."""
    result = tmp_path / "trace_result.txt"
    result.touch()
    monkeypatch.setattr(vardex_module, "trace_result_file_path", result)
    for name in ("trace_info", "_line_cache_trace", "items_has_to_watch_yourself"):
        monkeypatch.setattr(vardex_module, name, {})
    monkeypatch.setattr(vardex_module, "watching_instances", [])
    monkeypatch.setattr(vardex_module, "print_directly", 0)
    monkeypatch.setattr(vardex_module, "project_main_file", "")
    monkeypatch.setattr(vardex_module, "add_lines_lens", 0)
    return vardex_module


@pytest.fixture
def tool_err(vardex_module, capfd):
    """What the in-process module says on its own channel (stderr), read by
    calling the fixture; stdout stays the program's."""
    previous = vardex_module._redirect_tool_output(2)
    def read():
        out, err = capfd.readouterr()
        return err
    try:
        yield read
    finally:
        vardex_module._redirect_tool_output(previous)


@pytest.fixture(scope="session")
def display():
    """An X display for window tests: the one given, else a private Xvfb.
    Without either the window tests are skipped, unless
    VARDEX_REQUIRE_DISPLAY is set (CI), where they fail."""
    if os.environ.get("DISPLAY"):
        yield os.environ["DISPLAY"]
        return
    xvfb = shutil.which("Xvfb")
    if not xvfb:
        if os.environ.get("VARDEX_REQUIRE_DISPLAY"):
            pytest.fail("Xvfb is not installed and no DISPLAY is set")
        pytest.skip("no display and no Xvfb")
    read_end, write_end = os.pipe()
    proc = subprocess.Popen([xvfb, "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as f:
        while not number.endswith(b"\n"):
            chunk = f.read(1)
            if not chunk:
                break
            number += chunk
    if not number.strip():
        proc.kill()
        pytest.fail("Xvfb did not start")
    os.environ["DISPLAY"] = ":" + number.decode().strip()
    try:
        yield os.environ["DISPLAY"]
    finally:
        del os.environ["DISPLAY"]
        proc.terminate()
        proc.wait(timeout=10)
