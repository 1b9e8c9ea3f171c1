"""Line-dense workload: tight loops of simple statements, few calls.

Half the loop work runs here, in the file that modifies the watched
variable, the other half in kernels.py.
"""
import os

import kernels

SCALE = float(os.environ.get("BENCH_SCALE", "1"))
N = max(1, int(2_000_000 * SCALE))


def mix(n):
    a = 1
    b = 2
    c = 0
    for i in range(n):
        a = a + i
        b = b ^ a
        c = c + (b & 255)
        a = a & 0xFFFF
    return c


mode = 0
checksum = mix(N // 2)
mode = 1
checksum += kernels.accumulate(N // 4)
checksum += kernels.scan(N // 4)
mode = 2
print("line_dense", mode, checksum)
