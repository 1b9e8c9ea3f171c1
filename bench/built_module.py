"""What the benchmarks share: where the compiled module comes from, a private
copy of it, the machine's CPU, and one timed run of a command."""
import importlib.util
import os
import platform
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path


def module_file():
    """$VARDEX_SO, else the installed module's file, else None."""
    override = os.environ.get("VARDEX_SO")
    if override:
        return Path(override)
    found = importlib.util.find_spec("vardex")
    if found is None or found.origin is None:
        return None
    return Path(found.origin)


def private_copy(folder):
    """Copies the module into `folder` (made here), so that its data folder is
    private: returns the module file copied, or None when there is none."""
    so = module_file()
    if so is None or not so.exists():
        return None
    folder.mkdir()
    shutil.copy2(so, folder / so.name)
    return so


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def timed_run(argv, cwd, extra_env, limit, tmp):
    """(wall time, exit status, stdout, stderr) of one run in a session of its
    own, killed after `limit` seconds: then time and status are None."""
    env = dict(os.environ)
    env.pop("VARDEX_SO", None)
    env.pop("PYTHONPATH", None)
    env["PYTHONIOENCODING"] = "utf-8"
    env.update(extra_env)
    out_path, err_path = Path(tmp) / "stdout", Path(tmp) / "stderr"
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        start = time.perf_counter()
        proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, start_new_session=True)
        # A blocking wait, with a timer for the limit: wait(timeout=...)
        # polls in steps of up to 50 ms, too coarse for these runs.
        cut = threading.Event()

        def kill():
            cut.set()
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        timer = threading.Timer(limit, kill)
        timer.start()
        code = proc.wait()
        elapsed = time.perf_counter() - start
        timer.cancel()
    stdout = out_path.read_text(encoding="utf-8", errors="replace")
    stderr = err_path.read_text(encoding="utf-8", errors="replace")
    if cut.is_set():
        return None, None, stdout, stderr
    return elapsed, code, stdout, stderr
