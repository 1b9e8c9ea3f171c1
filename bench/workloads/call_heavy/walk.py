"""Recursive walks over an implicit binary tree."""
import numeric


def left(node):
    return 2 * node


def right(node):
    return 2 * node + 1


def weight(node, depth):
    return numeric.square(node % 7) + depth


def visit(node, depth):
    if depth == 0:
        return weight(node, depth)
    return weight(node, depth) + visit(left(node), depth - 1) + visit(right(node), depth - 1)


def tree_sum(depth):
    return visit(1, depth)
