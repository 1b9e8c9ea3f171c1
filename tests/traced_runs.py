"""Helpers for tests that run the headless command line on a small project."""
import textwrap

RUN = "import sys, vardex; sys.argv[0] = 'vardex'; vardex.main()"


def write(folder, files):
    for name, text in files.items():
        path = folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(text, bytes):
            path.write_bytes(text)
        else:
            path.write_text(textwrap.dedent(text).lstrip("\n"), encoding="utf-8")


def traced(child, files, *options, main="main.py", predict=True):
    """Runs main.py traced with the options; returns the process and the result file's text.
    `predict`: reports before each line with predicted values (--predict), else
    the command line's default, reports of the values observed after it."""
    write(child.cwd, files)
    if predict:
        options = ("--predict", *options)
    proc = child.run(RUN, main, *options, check=False)
    result = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    return proc, result


def reports(result):
    return [line for line in result.splitlines() if line.startswith("-\u2193")]


def changed3(path, line, code, name, before, after):
    return (f"-\u2193--------VALUE CHANGED3 in {path} line {line}:{code} "
            f"Variable:{name}\uff0cfrom {before} to {after}")
