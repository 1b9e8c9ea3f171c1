"""Small random programs for comparing the engines: nested loops, branches,
try/except/finally with re-raises, generators, comprehensions and statements
over several lines, all changing the watched `x`, `z` and the list `y`."""
import random

HEADER = [
    "x = 0",
    "y = []",
    "def fail(v):",
    "    if v % 3 == 0: raise ValueError(v)",
    "    return v",
    "",
]


def program(seed):
    rng = random.Random(seed)

    def statement(depth, indent):
        p = " " * indent
        kind = rng.randrange(14 if depth < 3 else 7)
        if kind == 0:
            return [p + "x = x + 1"]
        if kind == 1:
            return [p + "y.append(x)"]
        if kind == 2:
            return [p + "x = (x +", p + "     2)"]
        if kind == 3:
            return [p + "if x % 2: x += 3"]
        if kind == 4:
            return [p + "z = x * 2"]
        if kind == 5:
            return [p + "x = fail(x) if x > 5 else x"]
        if kind == 6:
            return [p + "y = [v for v in y", p + "     if v % 2]"]
        if kind == 7:
            return [p + f"for i{depth} in range({rng.randrange(1, 4)}):"] + block(depth + 1, indent + 4)
        if kind == 8:
            return ([p + "if x % 3 == 1:"] + block(depth + 1, indent + 4) + [p + "else:"]
                    + block(depth + 1, indent + 4))
        if kind == 9:
            return ([p + "try:"] + block(depth + 1, indent + 4) + [p + "    fail(x)", p + "except ValueError:"]
                    + block(depth + 1, indent + 4))
        if kind == 10:
            return [p + "try:"] + block(depth + 1, indent + 4) + [p + "finally:", p + "    if x % 2: x += 1"]
        if kind == 11:
            return [p + "while x % 5 != 0: x += 1"]
        if kind == 12:
            return [p + "try:", p + "    try:", p + "        fail(x)", p + "    finally:",
                    p + "        if x == 0: x += 7", p + "except ValueError:", p + "    x = x - 1"]
        return [p + "x, z = x + 1, x"]

    def block(depth, indent):
        lines = []
        for _ in range(rng.randrange(1, 4)):
            lines += statement(depth, indent)
        return lines

    lines = list(HEADER)
    calls = []
    for f in range(rng.randrange(1, 4)):
        body = ["    global x, y, z"] + block(1, 4)
        if rng.random() < 0.3:
            body += ["    yield x"] + block(1, 4)
            calls.append(f"for _ in f{f}(): pass")
        else:
            body += ["    return x"]
            calls.append(f"f{f}()")
        lines += [f"def f{f}():"] + body + [""]
    main = ["z = 0"] + block(0, 0) + calls
    lines += ["try:"] + ["    " + line for line in main]
    lines += ["except Exception as e:", "    print('raised', type(e).__name__)", "print(x, y, z)"]
    return "\n".join(lines) + "\n"
