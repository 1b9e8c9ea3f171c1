"""Small geometry helpers, each a call or two deep."""
import numeric


def point(i):
    return (i % 17, i % 23)


def add(p, q):
    return (p[0] + q[0], p[1] + q[1])


def scale(p, k):
    return (p[0] * k, p[1] * k)


def manhattan(p):
    return numeric.absolute(p[0]) + numeric.absolute(p[1])


def step(i, acc):
    return add(acc, scale(point(i), numeric.sign(i - 150)))


def sweep(n):
    acc = (0, 0)
    for i in range(n):
        acc = step(i, acc)
    return manhattan(acc)
