"""Values in reports are cut to a bounded length, and the cut text is the
start of what str() gives."""
from traced_runs import reports, traced

# Values rebuilt in the traced program from these sources; the texts
# expected are made here from the same sources.
VALUES = [
    "list(range(100))",
    "[[1, 2, [3, 4]], (5,), (), {6: 'six'}, {7}, frozenset({8}), set(), frozenset()]",
    "{'k%d' % i: [i, i * 1.5, None, True, False] for i in range(20)}",
    "('single quote \\' only', 'double \" only', 'both \\' and \"', b'bytes \\' here')",
    "['x' * 50, b'y' * 50, '\\u00e9\\u4e2d' * 10, 2 ** 70, -3, 1e300, float('inf')]",
    "'plain text that is long enough to be cut somewhere in the middle of it'",
    "[Point(1, 2), Point(3, 4)] * 5",
    "{'a': 'it\\'s', 'b': ['s\\'' + 'x' * 30 + '\"']}",
]

PREAMBLE = """
class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y
    def __repr__(self):
        return f"Point({self.x}, {self.y})"
"""


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __repr__(self):
        return f"Point({self.x}, {self.y})"


def cut(text, limit):
    if limit == 0 or len(text) <= limit:
        return text
    return text[:limit - 1] + "\u2026"


def after_texts(result):
    return [r for r in reports(result) if "Variable:v\uff0c" in r]


def run_values(child, *options, predict=False):
    source = PREAMBLE + "".join(f"v = {src}\n" for src in VALUES)
    proc, result = traced(child, {"main.py": source}, "--var", "v", "--print", "0", *options, predict=predict)
    assert proc.returncode == 0, proc.stderr
    return after_texts(result)


def test_every_value_text_is_the_start_of_its_str_cut_at_the_limit(child):
    expected = [str(eval(src, {"Point": Point})) for src in VALUES]
    def check(got, limit):
        assert len(got) == len(expected)
        for report, text in zip(got, expected):
            assert report.endswith(" to " + cut(text, limit)), (report, limit)

    for limit in (9, 40):
        check(run_values(child, "--max-chars", str(limit)), limit)
    # 0 shows values whole; the default cuts at 1000.
    check(run_values(child, "--max-chars", "0"), 0)
    check(run_values(child), 1000)
    # Predicted reports are cut the same way.
    assert "\uff0cfrom " + cut(expected[0], 9) + " to " in run_values(child, "--max-chars", "9", predict=True)[1]


def test_a_huge_value_is_shown_cut_and_costs_no_more_than_a_small_one(child):
    # A list of two million numbers and a self-containing list: the texts are
    # cut, never made whole.
    source = """
        import time
        big = list(range(2_000_000))
        loop = [1]
        loop.append(loop)
        start = time.perf_counter()
        for _ in range(200):
            big[0] += 1
        print("fast" if time.perf_counter() - start < 5 else "slow")
        """
    proc, result = traced(child, {"main.py": source}, "--list", "big,loop", "--print", "0", "--max-chars", "30",
                          predict=False)
    assert proc.stdout == "fast\n", proc.stderr
    texts = [r.split("\uff0cfrom ", 1)[1] for r in reports(result)]
    assert texts[0] == "None to " + cut(str(list(range(2_000_000))[:20]), 30)
    assert texts[1] == "None to [1]"
    assert texts[2] == "[1] to [1, [...]]"
    assert len(texts) == 203
    assert texts[-1] == cut("[199, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10", 30) + " to " + cut("[200, 1, 2, 3, 4, 5, 6, 7, 8, 9", 30)
    assert max(len(line) for line in result.splitlines()) < 300


def test_max_chars_must_not_be_negative(child):
    proc, result = traced(child, {"main.py": "v = 1\n"}, "--var", "v", "--max-chars", "-1")
    assert proc.returncode == 2 and "--max-chars" in proc.stderr and len(proc.stderr.splitlines()) == 1
