"""Watched-loop workload: the watched variable is assigned, rarely, inside the
function that runs the hot loop, so the loop's own lines are lines of watched
code; a tracer that decides per function sees all of them."""
import os

SCALE = float(os.environ.get("BENCH_SCALE", "1"))
N = max(1, int(1_000_000 * SCALE))

phase = 0


def run(n):
    global phase
    a = 1
    b = 2
    for i in range(n):
        a = (a * 3 + i) & 0xFFFF
        b = b ^ a
        if i == n // 2:
            phase = 1
        b = (b + phase) & 0xFFFFFF
    return a + b + phase


checksum = run(N)
phase = 2
print("watched_loop", checksum)
