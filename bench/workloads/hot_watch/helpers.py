"""Per-item work for the hot-watch loop."""


def fold(x):
    x ^= x >> 3
    x = (x * 2654435761) & 0xFFFFFFFF
    return x ^ (x >> 7)


def digest(i):
    h = i
    for _ in range(8):
        h = fold(h + 11)
    return h % 1000
