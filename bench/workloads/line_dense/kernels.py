"""Loop kernels: several simple statements per iteration."""


def accumulate(n):
    s = 0
    t = 1
    for i in range(n):
        s += i
        t = (t * 3) & 0xFFFF
        s ^= t
        s &= 0xFFFFFF
    return s


def scan(n):
    best = 0
    run = 0
    i = 0
    while i < n:
        run = run + 1 if i % 3 else 0
        if run > best:
            best = run
        i += 1
    return best
