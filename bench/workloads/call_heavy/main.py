"""Call-heavy workload: many small functions and recursion over three modules."""
import os

import geometry
import numeric
import walk

SCALE = float(os.environ.get("BENCH_SCALE", "1"))
ROUNDS = max(1, int(500 * SCALE))

phase = 0
total = 0
for r in range(ROUNDS):
    if r == ROUNDS // 2:
        phase = 1
    total += geometry.sweep(300)
    total += numeric.series(200)
    total += walk.tree_sum(9)
    total += numeric.fib(12)
phase = 2
print("call_heavy", phase, total)
