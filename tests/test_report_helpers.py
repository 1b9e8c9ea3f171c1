import pytest


class Node:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


def chain():
    c = Node(v=5)
    b = Node(c=c, none=None)
    a = Node(b=b)
    return a, b, c


@pytest.mark.parametrize("path, expected", [
    ("x", lambda b, c: [None]),
    ("b", lambda b, c: [b]),
    ("b.c.v", lambda b, c: [b, c, 5]),
    ("b.none.v", lambda b, c: [b, None]),
    ("b.missing.v", lambda b, c: [b, None]),
    ("gone.c.v", lambda b, c: [None]),
])
def test_attribute_path_values_stop_at_first_missing_or_none_link(vx, path, expected):
    a, b, c = chain()
    assert vx.get_attribute_value_and_intermediates(instance=a, attr_str=path) == expected(b, c)


def test_attribute_path_propagates_errors_other_than_attribute_error(vx):
    class Bad:
        @property
        def p(self):
            raise ValueError("boom")

        @property
        def q(self):
            raise AttributeError("hidden")

    assert vx.get_attribute_value_and_intermediates(Bad(), "q.x") == [None]
    with pytest.raises(ValueError, match="boom"):
        vx.get_attribute_value_and_intermediates(Bad(), "p")


def test_get_values_strips_item_prefix_and_keeps_list_marker(vx):
    a, b, c = chain()
    got = vx.get_values(instance=a, class_var_list=["$item.b.c.v", "$item.b$List", "$item.zz"])
    assert got == [b, c, 5, None, None]
    assert vx.get_values(a, []) == []


def test_del_report_user_withdraws_users_along_the_path(vx):
    a, b, c = chain()
    a._report_user_list = ["u1", "u2", "u1"]
    b._report_user_list = ["u2", "u3"]
    vx.del_report_user_of_subitems(obj=a, attr_str="b.c.v", fixed_list=["u1", "u2"])
    assert a._report_user_list == ["u1"]          # only the first occurrence goes
    assert b._report_user_list == ["u3"]
    assert c._report_user_list == []              # given an empty list
    assert not hasattr(c.v, "_report_user_list")  # the path ends at c


@pytest.mark.parametrize("path", ["none.x", "zero.x", "gone.x", "b"])
def test_del_report_user_stops_at_falsy_or_missing_link(vx, path):
    obj = Node(none=None, zero=0, b=Node())
    vx.del_report_user_of_subitems(obj, path, [])
    assert obj._report_user_list == []
    assert not hasattr(obj.b, "_report_user_list")


def test_del_report_user_passes_over_values_that_cannot_hold_attributes(vx):
    inner = Node(_report_user_list=["u"])
    vx.del_report_user_of_subitems(5, "real", ["u"])  # an int has no users to drop
    t = type("Slotted", (), {"__slots__": ("inner",)})()
    t.inner = inner
    vx.del_report_user_of_subitems(t, "inner.x", ["u"])
    assert inner._report_user_list == []


def test_del_report_user_with_users_list_as_fixed_list_removes_all(vx):
    users = ["a", "b"]
    obj = Node(_report_user_list=users)
    vx.del_report_user_of_subitems(obj, "x", users)
    assert obj._report_user_list == []


@pytest.mark.parametrize("args, expected", [
    (("f.py", 9, "Foo", ["a"]), True),
    (("f.py", 4, "Foo", ["x", "b"]), True),
    (("f.py", 4, "Foo", ["a"]), False),
    (("f.py", 9, "Foo", []), False),
    (("f.py", 9, "Bar", ["a"]), False),
    (("g.py", 9, "Foo", ["a"]), False),
])
def test_line_in_trace_lines_reads_the_scan_table(vx, monkeypatch, args, expected):
    monkeypatch.setattr(vx, "trace_files_class_lines_dict", {"f.py": {"Foo": {"a": [9], "b": [4]}}})
    assert vx.line_in_trace_lines(*args) is expected
    names = ("filename", "linenoA", "this_class_name", "instance_names")
    assert vx.line_in_trace_lines(**dict(zip(names, args))) is expected
