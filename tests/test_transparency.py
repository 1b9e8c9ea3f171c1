"""A traced program behaves as "python main.py": same output, same exit status.

Every program runs twice, as the real interpreter runs it and through the
headless command line, from the same working folder with the same arguments.
Only the tool's own "vardex: " lines may be added to stderr.
"""
import subprocess
import sys
import textwrap

import pytest

# Every traced run here is checked under both engines.
BOTH_ENGINES = True

RUN = "import sys, vardex; sys.argv[0] = 'vardex'; vardex.main()"


def write(folder, files):
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in files.items():
        data = text if isinstance(text, bytes) else textwrap.dedent(text).lstrip("\n").encode("utf-8")
        (folder / name).write_bytes(data)


def python(child, *args, cwd=None, timeout=120):
    return subprocess.run([sys.executable, *args], cwd=cwd or child.cwd, env=child.env(), capture_output=True,
                          text=True, encoding="utf-8", errors="backslashreplace", timeout=timeout)


def untraced(child, main="main.py", args=(), **kwargs):
    return python(child, main, *args, **kwargs)


def traced(child, names, main="main.py", args=(), mode="0", **kwargs):
    rest = ["--", *args] if args else []
    return python(child, "-c", RUN, main, "--var", names, "--print", mode, *rest, **kwargs)


def program_stderr(text):
    return "".join(line for line in text.splitlines(keepends=True) if not line.startswith("vardex: "))


def outcome(proc):
    return proc.stdout, program_stderr(proc.stderr), proc.returncode


def assert_transparent(child, files, names, mode="0", **kwargs):
    """With an echo mode other than 0 the reports go to stderr too: then
    only stdout and the exit status are compared."""
    write(child.cwd, files)
    plain = untraced(child, **kwargs)
    proc = traced(child, names, mode=mode, **kwargs)
    if mode == "0":
        assert outcome(proc) == outcome(plain)
    else:
        assert (proc.stdout, proc.returncode) == (plain.stdout, plain.returncode), proc.stderr
    return plain


COMPUTED_ONCE = {
    "property": """
        class Meter:
            reads = 0
            @property
            def value(self):
                Meter.reads += 1
                print("reading", Meter.reads)
                return Meter.reads * 10
        m = Meter()
        x = m.value
        x = m.value
        print("reads", Meter.reads, "x", x)
        """,
    "add": """
        class Num:
            adds = 0
            def __init__(self, v):
                self.v = v
            def __add__(self, other):
                Num.adds += 1
                print("adding", self.v, other)
                return Num(self.v + other)
        n = Num(1)
        x = n + 5
        x = x + 5
        print("adds", Num.adds, "x", x.v)
        """,
    "getitem": """
        class Seq:
            asked = []
            def __getitem__(self, i):
                Seq.asked.append(i)
                return i * 2
        s = Seq()
        x = s[3]
        x = s[x]
        print("asked", Seq.asked, "x", x)
        """,
    "walrus": """
        y = 0
        for _ in range(3):
            x = (y := y + 1)
            print("step", x, y)
        """,
}


@pytest.mark.parametrize("kind", COMPUTED_ONCE)
def test_right_hand_sides_with_side_effects_run_once(child, kind):
    assert_transparent(child, {"main.py": COMPUTED_ONCE[kind]}, "x,y")


def test_comprehensions_over_two_lines_build_the_same_values(child):
    main = """
        names = ["a", "b", "c"]
        rows = [(n, 1)
                for n in names]
        index = {n: i
                 for i, n in enumerate(names)}
        total = sum(len(n)
                    for n in names)
        print(rows, index, total)
        class Table:
            names = ["x", "y"]
            rows = [(n, 2)
                    for n in names]
        print(Table.rows)
        """
    assert_transparent(child, {"main.py": main}, "rows,index,total")


CAPTURE = """
    import contextlib, io
    buf = io.StringIO()
    count = 0
    with contextlib.redirect_stdout(buf):
        for i in range(3):
            count += i
            print("inside", count)
    count = -1
    assert buf.getvalue() == "inside 0\\ninside 1\\ninside 3\\n", repr(buf.getvalue())
    print("captured", repr(buf.getvalue()), count)
    """


@pytest.mark.parametrize("mode", ["0", "1", "3"])
def test_redirected_stdout_captures_only_the_program_output(child, mode):
    plain = assert_transparent(child, {"main.py": CAPTURE}, "count,buf", mode=mode)
    assert plain.returncode == 0, plain.stderr


@pytest.mark.parametrize("start, main", [
    ("proj", "main.py"), ("elsewhere", "../proj/main.py"), ("elsewhere", "{project}/main.py"),
], ids=["own_folder", "other_folder_relative_path", "other_folder_absolute_path"])
def test_main_file_sees_its_own_paths_and_arguments(child, start, main):
    project = child.cwd / "proj"
    write(project, {
        "helper.py": "import os\nWHERE = os.path.basename(os.path.dirname(__file__))\n",
        "main.py": '''
            """The project's main file."""
            import os, sys
            print(sorted(globals()), type(__loader__).__name__, __doc__)
            import helper
            seen = [__name__, __file__, sys.argv, sys.path[0], os.getcwd(), helper.WHERE]
            print(seen)
            ''',
    })
    (child.cwd / "elsewhere").mkdir()
    plain = assert_transparent(child, {}, "seen", main=main.format(project=project),
                               args=["input.txt", "-v", "--var", "z"], cwd=child.cwd / start)
    assert plain.returncode == 0, plain.stderr


def test_thread_subclass_and_thread_target_run_once(child):
    main = """
        import threading
        class Worker(threading.Thread):
            n, result = 4, None
            def run(self):
                total = 0
                for i in range(self.n):
                    total += i
                    print("worker step", i)
                self.result = total
        results = []
        def job(k):
            total = k * 100
            results.append(total)
            print("job", k)
        w, t = Worker(), threading.Thread(target=job, args=(3,))
        w.start(); w.join(); t.start(); t.join()
        print("worker", w.result, "job", results, threading.active_count())
        """
    assert_transparent(child, {"main.py": main}, "total")


def test_spawned_pool_workers_import_the_main_file(child):
    main = """
        import multiprocessing
        def square(v):
            result = v * v
            return result
        if __name__ == "__main__":
            ctx = multiprocessing.get_context("spawn")
            with ctx.Pool(2) as pool:
                result = pool.map(square, range(6))
            print("squares", result)
        """
    plain = assert_transparent(child, {"main.py": main}, "result", timeout=90)
    assert plain.stdout == "squares [0, 1, 4, 9, 16, 25]\n"


def test_main_file_over_200_kib_runs_to_its_end(child):
    lines = ["total = 0"]
    lines += [f"value_{i} = {i} * 3 + len('{'pad' * 4}')" for i in range(8000)]
    lines += [f"total += value_{i}" for i in range(0, 8000, 500)]
    lines += ["print('total', total, value_7999)"]
    text = "\n".join(lines) + "\n"
    assert len(text.encode()) > 200 * 1024
    assert_transparent(child, {"main.py": text}, "total")


@pytest.mark.parametrize("source", [
    "# -*- coding: latin-1 -*-\nword = 'caf\u00e9 \u00e0 \u00ff'\nword = word.upper()\nprint(word, len(word))\n"
    .encode("latin-1"),
    b"\xef\xbb\xbf" + "word = 'na\u00efve \u2603 \u65e5\u672c'\nword = word * 2\nprint(word, len(word))\n"
    .encode("utf-8"),
], ids=["latin1_declared", "utf8_bom"])
def test_source_encodings_are_decoded_as_python_decodes_them(child, source):
    plain = assert_transparent(child, {"main.py": source}, "word")
    assert plain.returncode == 0 and not plain.stdout.isascii()


def test_values_without_a_usable_repr_leave_the_program_running(child):
    main = """
        class Bad:
            def __repr__(self):
                raise RuntimeError("no repr")
        item = Bad()
        item = Bad()
        print("bad", type(item).__name__)
        class Node:
            def __init__(self, v, nxt):
                self.v, self.nxt = v, nxt
            def __repr__(self):
                return f"Node({self.v}, {self.nxt!r})"
        head = None
        for i in range(2000):
            head = Node(i, head)
        length, p = 0, head
        while p: length, p = length + 1, p.nxt
        try:
            repr(head)
        except RecursionError:
            print("repr too deep")
        print("length", length, head.v)
        """
    assert_transparent(child, {"main.py": main}, "item,head")


RECURSION = {
    "to_the_limit": """
        deepest = 0
        def dive(n):
            global deepest
            level = n
            deepest = level
            dive(n + 1)
        try:
            dive(1)
        except RecursionError:
            print("stopped at", deepest)
        """,
    "below_the_limit": """
        import sys
        def dive(n, target):
            level = n
            return dive(n + 1, target) if level < target else level
        print("reached", dive(1, sys.getrecursionlimit() - 30))
        """,
}


@pytest.mark.parametrize("kind", RECURSION)
def test_deep_recursion_reaches_the_same_depth(child, kind):
    assert_transparent(child, {"main.py": RECURSION[kind]}, "level,deepest")


@pytest.mark.parametrize("mode", ["0", "3"])
def test_lone_surrogate_value_is_kept(child, mode):
    main = """
        name = "\\udc80"
        name = name + "x"
        print(ascii(name), len(name))
        """
    assert_transparent(child, {"main.py": main}, "name", mode=mode)


@pytest.mark.parametrize("main", [
    "import sys\ncode = 3\nprint('leaving')\nsys.exit(code)\n",
    "import sys\nreason = 'bad input'\nsys.exit(reason)\n",
], ids=["status_3", "message"])
def test_sys_exit_gives_the_same_status(child, main):
    assert_transparent(child, {"main.py": main}, "code,reason")


def test_uncaught_exception_from_a_sibling_module_ends_the_same(child):
    write(child.cwd, {
        "helper.py": "def parse(text):\n    value = int(text)\n    return value\n",
        "main.py": "from helper import parse\nresult = parse('12')\nprint('first', result)\nresult = parse('x1')\n",
    })
    plain = untraced(child)
    proc = traced(child, "result,value")
    assert plain.stderr.splitlines()[-1] == "ValueError: invalid literal for int() with base 10: 'x1'"
    assert (proc.stdout, proc.returncode) == (plain.stdout, plain.returncode) == ("first 12\n", 1)
    assert program_stderr(proc.stderr).splitlines()[-1:] == plain.stderr.splitlines()[-1:]


@pytest.mark.parametrize("source", [b"x = 1\x00\nprint(x)\n", b"x = 'caf\xe9'\nprint(x)\n"],
                         ids=["nul_byte", "invalid_utf8"])
def test_unreadable_source_gives_pythons_own_syntax_error(child, source):
    write(child.cwd, {"main.py": source})
    plain = untraced(child)
    proc = traced(child, "x")
    assert "SyntaxError" in plain.stderr and plain.returncode == 1
    assert outcome(proc) == outcome(plain)
