"""Tiny numeric functions and a recursive Fibonacci."""


def absolute(x):
    return -x if x < 0 else x


def sign(x):
    if x < 0:
        return -1
    return 1 if x > 0 else 0


def square(x):
    return x * x


def clamp(x, lo, hi):
    return lo if x < lo else hi if x > hi else x


def term(i):
    return clamp(square(i) % 97, 10, 80) * sign(i - 50)


def series(n):
    s = 0
    for i in range(n):
        s += term(i)
    return s


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)
