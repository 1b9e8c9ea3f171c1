"""The line events vardex takes from sys.monitoring (LINE, and a backward
jump that stays within its line) are those sys.settrace delivers, on the
interpreter the tests run under: loops on one line, comprehensions,
exceptions, generators, with, coroutines, statements over several lines."""
import subprocess
import sys

PROGRAM = r"""
import sys, dis
SRC = '''
def loops(n):
    t = 0
    for i in range(n): t += i
    j = 0
    while j < n: j += 2
    k = [x * 2 for x in range(n) if x]
    for a in range(2):
        for b in range(2):
            if a == b: continue
            t += a
    return t
def exc(n):
    try:
        if n: raise ValueError(n)
    except ValueError as e:
        n = -1
    finally:
        n += 1
    return n
def gen(n):
    for i in range(n):
        got = (yield i)
        if got: n += 1
def with_(n):
    import contextlib
    with contextlib.nullcontext(n) as v:
        v += 1
    return v
async def co(n):
    import asyncio
    await asyncio.sleep(0)
    return n
def multi(n):
    x = (n +
         1)
    y = [n,
         n + 1]
    return x, y
'''
ns = {}
exec(compile(SRC, "sample", "exec"), ns)
codes = set()
def collect(c):
    codes.add(c)
    for k in c.co_consts:
        if hasattr(k, "co_code"): collect(k)
for v in list(ns.values()):
    if hasattr(v, "__code__"): collect(v.__code__)
def run():
    import asyncio
    ns["loops"](4); ns["exc"](1); ns["exc"](0)
    g = ns["gen"](3); next(g); g.send(1); next(g)
    try: next(g)
    except StopIteration: pass
    ns["with_"](1); asyncio.run(ns["co"](2)); ns["multi"](3)
got_trace = []
def tr(frame, event, arg):
    if frame.f_code in codes and event == "line":
        got_trace.append((frame.f_code.co_name, frame.f_lineno))
    return tr
sys.settrace(tr); run(); sys.settrace(None)
M = sys.monitoring
got_mon = []
def on_line(code, line):
    if code in codes: got_mon.append((code.co_name, line))
def on_jump(code, src, dst):
    if code in codes and dst <= src:
        l1 = code.co_lines
        def line_of(off):
            for s, e, l in code.co_lines():
                if s <= off < e: return l
        if line_of(dst) == line_of(src): got_mon.append((code.co_name, line_of(dst)))
M.use_tool_id(5, "rules")
M.register_callback(5, M.events.LINE, on_line)
M.register_callback(5, M.events.JUMP, on_jump)
for c in codes: M.set_local_events(5, c, M.events.LINE | M.events.JUMP)
run()
for c in codes: M.set_local_events(5, c, 0)
print(len(got_trace), got_trace == got_mon)
"""


def test_monitoring_line_events_are_those_of_the_trace_function():
    proc = subprocess.run([sys.executable, "-c", PROGRAM], capture_output=True, text=True, timeout=60)
    count, equal = proc.stdout.split()
    assert (int(count), equal) == (65, "True"), proc.stdout + proc.stderr
