"""Hot-watch workload: the watched variable changes inside a hot loop.

`hits` is bumped a few thousand times, each a reported change under a
variable tracer; the rest of the loop is ordinary work in helpers.py.
"""
import os

import helpers

SCALE = float(os.environ.get("BENCH_SCALE", "1"))
N = max(1, int(60_000 * SCALE))

hits = 0
acc = 0
for i in range(N):
    value = helpers.digest(i)
    acc = (acc + value) & 0xFFFFFF
    if value % 20 == 0:
        hits += 1
print("hot_watch", hits, acc)
