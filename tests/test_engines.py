"""The sys.monitoring engine and the trace function give the same result
file, byte for byte apart from object addresses, and the engine is chosen
when the child starts."""
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from generated_programs import program
from traced_runs import RUN, reports, traced, write

SHOP = Path(__file__).resolve().parent.parent / "examples" / "shop"
ADDRESS = re.compile(r"0x[0-9a-f]+")

# A project that goes through every kind of event the engines deliver
# differently: calls of unwatched code, loops on one line, statements over
# several lines, exceptions inside and between watched statements, frames
# left by return, yield and unwinding, generators and coroutines, recursion,
# comprehensions, threads, and watched names in two files.
MIXED = {
    "helpers.py": """
        import threading

        def bump(values, n):
            values.append(n)
            count = len(values)
            return count

        def failing(values):
            values.append(-1)
            count = 1 / 0
            return count

        def produce(n):
            for i in range(n):
                count = i * 2
                yield count

        def worker(values):
            for i in range(3):
                values.append(i)
                count = i

        def in_thread(values):
            t = threading.Thread(target=worker, args=(values,))
            t.start()
            t.join()

        def settle_after_raise(n):
            # A statement that may run, then an exception before the next
            # line: the report is decided in the handler.
            total = 0
            for v in range(n):
                try:
                    if v % 2: total = total + (1 // (v % 3 - 1))
                    else: total += 1
                except ZeroDivisionError:
                    pass
                other = v
                if other > 100:
                    total = -1
            return total

        def paused(n):
            for v in range(n):
                count = (v +
                         (yield v))

        def add_five():
            global total
            total += 5

        def reraised(n):
            # A statement that may run in a finally, then the exception goes
            # on to the handler.
            global total
            for i in range(n):
                try:
                    try:
                        raise KeyError(i)
                    finally:
                        if i == 0: total += 1
                except KeyError:
                    add_five()

        def left_open():
            count = 0
            try:
                yield 1
            finally:
                count = 5
    """,
    "main.py": """
        import asyncio
        import helpers

        values = []
        total = 0
        for i in range(4): total += i
        while total < 10: total += 3
        total = (total +
                 1)
        for n in range(3):
            count = helpers.bump(values, n)
            if n == 1:
                continue
            total = total + count
        try:
            count = helpers.failing(values)
        except ZeroDivisionError:
            total = -total
        for count in helpers.produce(3):
            total += count
        squares = [k * k for k in range(3)]
        squares = [k
                   for k in squares
                   if k]

        def depth(n):
            total = n
            if n:
                total = depth(n - 1) + 1
            return total

        total = depth(3)

        async def later(x):
            await asyncio.sleep(0)
            count = x + 1
            return count

        count = asyncio.run(later(5))
        total = helpers.settle_after_raise(9)
        gen = helpers.paused(3)
        next(gen)
        for k in range(2):
            gen.send(k)
        gen.close()
        helpers.in_thread(values)

        def unwound():
            total = 1
            raise KeyError(total)

        try:
            unwound()
        except KeyError:
            total = 0
        values.sort()
        helpers.total = 0
        helpers.reraised(3)
        # Finished when the interpreter clears __main__ at exit.
        suspended = helpers.left_open()
        next(suspended)
        print(total, count, sorted(values), squares)
    """,
}


def result_of(child, *options, engine):
    proc = child.run(RUN, "main.py", *options, check=False,
                     env={"VARDEX_ENGINE": engine})
    text = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    return proc, ADDRESS.sub("0x?", text)


@pytest.mark.parametrize("project, options", [
    ("mixed", ("--var", "total,count", "--list", "values,squares")),
    ("mixed", ("--var", "total", "--stop", "main.py:32")),
    ("shop", ("--var", "total,rate", "--list", "names",
              "--class", "Cart:total,discount,count,owner.name:items:cart")),
], ids=["variables-and-lists", "stop-line", "shop"])
@pytest.mark.parametrize("mode", ["observe", "predict"])
def test_both_engines_write_the_same_result_file(child, project, options, mode):
    if mode == "predict":
        options = (*options, "--predict")
    if project == "shop":
        shutil.copytree(SHOP, child.cwd, dirs_exist_ok=True)
    else:
        write(child.cwd, MIXED)
    plain = subprocess.run([sys.executable, "main.py"], cwd=child.cwd, capture_output=True, text=True,
                           timeout=60)
    monitored, by_monitoring = result_of(child, *options, "--print", "0", engine="monitoring")
    settrace, by_settrace = result_of(child, *options, "--print", "0", engine="settrace")
    assert (monitored.stdout, monitored.returncode) == (plain.stdout, plain.returncode)
    assert (settrace.stdout, settrace.returncode) == (plain.stdout, plain.returncode)
    assert "vardex: " not in monitored.stderr.replace("vardex: results in", "")
    assert len(reports(by_monitoring)) > 10
    assert by_monitoring == by_settrace
    if project == "mixed" and "--stop" not in options:
        assert "line 50:total += 5 Variable:total" in by_monitoring
        assert by_monitoring.count("VALUE CHANGED3") > 20
    if "--stop" in options:
        assert "Trace_stop At: <string> 51" in monitored.stderr
        assert "Trace_stop At: <string> 51" in settrace.stderr


@pytest.mark.parametrize("seed", range(6))
def test_both_engines_agree_on_generated_programs(child, seed):
    text = program(seed)
    (child.cwd / "main.py").write_text(text, encoding="utf-8")
    # A stop line from line 14 on that holds code (a global statement has none).
    lines = text.splitlines()
    stop = next(i + 1 for i in range(13, len(lines))
                if lines[i].strip() and not lines[i].strip().startswith(("global ", "else:", "try:", "finally:")))
    options = ("--var", "x,z", "--list", "y", "--print", "0") + (("--stop", f"main.py:{stop}") if seed % 3 == 2 else ())
    # Half of the programs report observed values, half predicted ones.
    if seed % 2:
        options += ("--predict",)
    monitored, by_monitoring = result_of(child, *options, engine="monitoring")
    settrace, by_settrace = result_of(child, *options, engine="settrace")
    assert (monitored.stdout, monitored.returncode) == (settrace.stdout, settrace.returncode)
    assert reports(by_monitoring)
    assert by_monitoring == by_settrace


def test_with_no_free_tool_id_the_trace_function_serves_variables(child):
    files = {"main.py": """
        import sys
        for tool in range(6):
            try:
                sys.monitoring.use_tool_id(tool, "other")
            except ValueError:
                pass
        total = 0
        for i in range(3):
            total += i
        print(total)
    """}
    proc, result = traced(child, files, "--var", "total", "--print", "0")
    assert proc.stdout == "3\n"
    # The ids are taken by the program itself once it runs: the tool started first.
    assert len(reports(result)) == 4
    write(child.cwd, {"sitecustomize.py": """
        import sys
        for tool in range(6):
            sys.monitoring.use_tool_id(tool, "other")
    """})
    proc = child.run(RUN, "main.py", "--var", "total", "--print", "0", "--predict", check=False,
                     env={"PYTHONPATH": f"{child.module_dir}:{child.cwd}"})
    result = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    assert proc.stdout == "3\n"
    assert "vardex: no free sys.monitoring tool id; tracing with sys.settrace" in proc.stderr
    assert len(reports(result)) == 4


def test_a_stop_line_ends_every_event_and_frees_the_tool_id(child):
    files = {"main.py": """
        import sys
        def events():
            code = sys._getframe(1).f_code
            return sys.monitoring.get_tool(4), sys.monitoring.get_events(4), sys.monitoring.get_local_events(4, code)
        total = 0
        print(events())
        for i in range(3):
            total += i
        marker = 1
        print(events())
        for i in range(3):
            total += i
        print(total)
    """}
    proc, result = traced(child, files, "--var", "total", "--stop", "main.py:10", "--print", "0")
    first, second, last = proc.stdout.splitlines()
    assert first.startswith("('vardex', ") and first != "('vardex', 0, 0)"
    assert (second, last) == ("(None, 0, 0)", "6")
    assert f"Trace_stop At: <string> {10 + 19}" in proc.stderr
    assert len(reports(result)) == 4


def test_a_program_tracing_itself_runs_as_untraced_and_keeps_earlier_reports(child):
    write(child.cwd, {"main.py": """
        import sys
        seen = []
        def tracer(frame, event, arg):
            if frame.f_code.co_name == "work":
                seen.append((event, frame.f_lineno - frame.f_code.co_firstlineno))
            return tracer
        def work(n):
            total = 0
            for i in range(n):
                total += i
            return total
        total = work(3)
        sys.settrace(tracer)
        total = work(2)
        sys.settrace(None)
        print(total, seen)
    """})
    plain = subprocess.run([sys.executable, "main.py"], cwd=child.cwd, capture_output=True, text=True,
                           timeout=60)
    found = {}
    for engine in ("monitoring", "settrace"):
        proc, result = result_of(child, "--var", "total", "--print", "0", "--predict", engine=engine)
        assert (proc.stdout, proc.returncode) == (plain.stdout, plain.returncode)
        found[engine] = reports(result)
    before = [r.split(" line ")[1].split(" Variable:")[0] for r in found["settrace"][:5]]
    assert before == ["12:total = work(3)", "8:total = 0", "10:total += i", "10:total += i", "10:total += i"]
    # The trace function gives way to the program's own; sys.monitoring goes on.
    assert found["monitoring"][:len(found["settrace"])] == found["settrace"]
    assert any(" line 14:total = work(2)" in r for r in found["monitoring"])


def test_the_programs_own_monitoring_tool_keeps_what_it_switched_off(child):
    shutil.copytree(SHOP, child.cwd, dirs_exist_ok=True)
    (child.cwd / "main.py").write_text(textwrap.dedent("""
        import sys
        from inventory import Cart, Customer
        m = sys.monitoring
        count = 0
        def on_line(code, line):
            global count
            count += 1
            return m.DISABLE
        m.use_tool_id(2, "profiler")
        m.register_callback(2, m.events.LINE, on_line)
        def work(n):
            t = 0
            for i in range(n):
                t += i
            return t
        m.set_local_events(2, work.__code__, m.events.LINE)
        work(3)
        first = count
        cart = Cart(Customer("alice"))   # its polled property: every call counts
        cart.add("pear", 3)
        work(3)
        print(first, count)
    """), encoding="utf-8")
    plain = subprocess.run([sys.executable, "main.py"], cwd=child.cwd, capture_output=True, text=True,
                           timeout=60)
    for engine in ("monitoring", "settrace"):
        proc, result = result_of(child, "--class", "Cart:total,count:items:cart", "--print", "0", engine=engine)
        assert (proc.stdout, proc.returncode) == (plain.stdout, plain.returncode) == ("5 5\n", 0)
        assert "VALUE CHANGED4" in result


@pytest.mark.parametrize("engine", ["monitoring", "settrace"], indirect=True)
def test_the_line_after_a_branch_decides_whether_it_ran(child, engine):
    # `x = 5` leaves the value as it was: only the place of the next line
    # tells that it ran, so that place keeps its events.
    proc, result = traced(child, {"main.py": """
        x = 5
        for v in range(4):
            if v % 2: x = 5
            else: w = 0
            u = v
        print(x)
    """}, "--var", "x", "--print", "0")
    assert proc.stdout == "5\n"
    assert [r.split(" line ")[1] for r in reports(result)] == [
        "1:x = 5 Variable:x\uff0cfrom None to 5",
        "3:if v % 2: x = 5 Variable:x\uff0cfrom 5 to 5",
        "3:if v % 2: x = 5 Variable:x\uff0cfrom 5 to 5",
    ]
