"""Watching classes end to end: the first instance is captured at its
__init__, later ones by the wrapped __init__; plain attributes, properties,
polled properties, list attributes and dotted paths report at the line that
changed them, each with its caller block."""
import os
import shutil
import sys
from pathlib import Path

import pytest

from traced_runs import RUN, reports, traced, write

SHOP = Path(__file__).resolve().parent.parent / "examples" / "shop"
A = "-\u2193--------"


# Every traced run here is checked under both engines.
BOTH_ENGINES = True


def tagged(result, tag):
    return [r for r in reports(result) if r.startswith(A + tag)]


def untraced(child, main="main.py", args=()):
    import subprocess
    return subprocess.run([sys.executable, main, *args], cwd=child.cwd, capture_output=True, text=True,
                          timeout=60)


def test_shop_reports_every_watched_change_of_the_cart(child):
    shutil.copytree(SHOP, child.cwd, dirs_exist_ok=True)
    proc, result = traced(child, {}, "--class", "Cart:total,discount,count,owner.name:items:cart",
                          "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == untraced(child).stdout
    main, inv, pricing = (str(child.cwd / n) for n in ("main.py", "inventory.py", "pricing.py"))
    lines = reports(result)
    assert lines[0] == f'{A}Class Created9-Cart in {main} line 15:cart = Cart(Customer("alice"))'
    totals = [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5") if ".total " in r]
    assert totals[:5] == ["[None] to [0]", "[0] to [3]", "[3] to [7]", "[7] to [9]", "[9] to [8.1]"]
    [discount] = tagged(result, "VALUE CHANGED6")
    assert discount.startswith(f"{A}VALUE CHANGED6 in {pricing} line 11:cart.discount = rate\uff0c<inventory.Cart")
    assert discount.endswith(".discount changed/together with. from [0] to [10]")
    appends = tagged(result, "VALUE CHANGED9")
    assert [a.split(" to ")[-1] for a in appends[:3]] == [
        "[('apple', 3)]", "[('apple', 3), ('pear', 4)]", "[('apple', 3), ('pear', 4), ('plum', 2)]"]
    assert all(f"in {inv} line 27:self.items.append((name, price))" in a for a in appends[:3])
    assert any(f"in {inv} line 9:self.items = []\uff0cCart.items to new value: []<inventory.Cart" in r
               for r in tagged(result, "VALUE CHANGED10"))
    polled = tagged(result, "VALUE CHANGED4")
    assert polled[0].endswith(".count changed/together with  from None to [[0]]")
    assert polled[-1].endswith("from [[2]] to [[3]]")
    # The owner's name, through the generated class of the owner object.
    assert f"{A}VALUE CHANGED0 in {main} line 23:cart.owner.name = \"Alice\"\uff0cDerived class -" \
           f"<class 'inventory.Customer'>.name from alice to Alice" in lines
    # Every report has its caller block: the user header right before the
    # report or its caller lines.
    text = result.splitlines()
    for i, line in enumerate(text):
        if line.startswith(A):
            j = i - 1
            while text[j].startswith("\u2193-----------------"):
                j -= 1
            assert text[j].startswith("-----------------<inventory.Cart object at ")


def test_shop_instances_view_groups_the_cart_reports(child):
    shutil.copytree(SHOP, child.cwd, dirs_exist_ok=True)
    proc = child.run(RUN, "main.py", "--class", "Cart:total:items:cart", "--print", "0",
                     "--show", "instances")
    out = proc.stdout.splitlines()
    targets = [i for i, line in enumerate(out) if line.startswith("\u00a5" * 6 + "Target No.")]
    # The cart, and the spare cart: a later instance that the instance name
    # does not select is watched too, only its creation is not recorded.
    assert len(targets) == 2, proc.stdout
    assert out[targets[0] + 1].startswith("-----------------<inventory.Cart object at ")
    assert sum(line.startswith(A + "VALUE CHANGED5") for line in out[:targets[1]]) == 5
    assert not any("Class created8" in line for line in out)


def test_print_mode_one_echoes_class_reports_on_stderr(child):
    files = {"main.py": """
        class P:
            def __init__(self):
                self.x = 1
        p = P()
        p.x = 2
        print("done")
        """}
    proc, result = traced(child, files, "--class", "P:x", "--print", "1")
    assert proc.stdout == "done\n"
    for line in result.splitlines():
        assert line in proc.stderr


LATER = """
class Box:
    def __init__(self, v):
        self.v = v
first = Box(1)
second = Box(2)
other = Box(3)
second.v = 20
other.v = 30
print(first.v, second.v, other.v)
"""


def test_later_instances_are_recorded_by_the_wrapped_init(child):
    proc, result = traced(child, {"main.py": LATER}, "--class", "Box:v", "--print", "0")
    assert proc.stdout == "1 20 30\n"
    main = child.cwd / "main.py"
    assert reports(result)[0] == f"{A}Class Created9-Box in {main} line 4:first = Box(1)"
    created = tagged(result, "Class created8")
    assert created == [f"{A}Class created8-Box in {main} line 5:second = Box(2)",
                       f"{A}Class created8-Box in {main} line 6:other = Box(3)"]
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == [
        "[None] to [1]", "[None] to [2]", "[None] to [3]", "[2] to [20]", "[3] to [30]"]


def test_instance_names_select_which_instances_are_watched(child):
    # Only classes are watched, the usual full-mode run: the scan still runs
    # to find where `second` is created.
    proc, result = traced(child, {"main.py": LATER}, "--class", "Box:v::second", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    main = child.cwd / "main.py"
    assert reports(result)[0] == f"{A}Class Created9-Box in {main} line 5:second = Box(2)"
    assert not tagged(result, "Class created8")
    # `other`, made after the capture under another name, is watched too; only
    # its creation is not recorded.
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == [
        "[None] to [2]", "[None] to [3]", "[2] to [20]", "[3] to [30]"]


def test_instances_made_by_a_factory_are_selected_by_the_name_they_are_given(child):
    files = {"main.py": """
        class State:
            def __init__(self, n):
                self.n = n
            @classmethod
            def create(cls):
                return cls(0)
        def make_state():
            return State(1)
        state_cls = State
        first = make_state()
        state = state_cls(2)
        state.n = 3
        parser = State.create()
        parser.n = 4
        print(state.n, parser.n)
        """}
    proc, result = traced(child, files, "--class", "State:n::state,parser", "--print", "0")
    assert proc.stdout == "3 4\n", proc.stderr
    main = child.cwd / "main.py"
    assert [r for r in reports(result) if "Class" in r] == [
        f"{A}Class Created9-State in {main} line 11:state = state_cls(2)",
        f"{A}Class created8-State in {main} line 13:parser = State.create()"]
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == [
        "[None] to [2]", "[2] to [3]", "[None] to [0]", "[0] to [4]"]


def test_the_first_instance_made_by_a_factory_is_created_at_the_named_line(child):
    files = {"main.py": """
        class Meta(type):
            def __call__(cls, *a, **k):
                obj = super().__call__(*a, **k)
                return obj
        class Cart(metaclass=Meta):
            def __init__(self, n):
                self.n = n
            @classmethod
            def create(cls):
                return cls(5)
        other = Cart(1)
        cart = Cart.create()
        cart.n = 6
        """}
    proc, result = traced(child, files, "--class", "Cart:n::cart", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    main = child.cwd / "main.py"
    assert [r for r in reports(result) if "Class" in r] == [
        f"{A}Class Created9-Cart in {main} line 12:cart = Cart.create()"]
    # The caller block starts above the creation site: here, nothing.
    lines = result.splitlines()
    created = next(i for i, line in enumerate(lines) if "Class Created9" in line)
    assert lines[created - 1].startswith("-----------------<") and created == 1


def test_instances_created_in_an_imported_module_are_selected_by_name(child):
    files = {"main.py": "import shop\nprint(shop.cart.v)\n",
             "shop.py": "class Cart:\n    def __init__(self):\n        self.v = 0\n"
                        "spare = Cart()\ncart = Cart()\ncart.v = 5\nspare.v = 6\n"}
    proc, result = traced(child, files, "--class", "Cart:v::cart", "--print", "0")
    assert proc.stdout == "5\n"
    shop = child.cwd / "shop.py"
    assert reports(result)[0] == f"{A}Class Created9-Cart in {shop} line 5:cart = Cart()"
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == ["[None] to [0]", "[0] to [5]"]


DOTTED = """
class Person:
    def __init__(self, name):
        self.name = name
class Cart:
    def __init__(self, owner):
        self.owner = owner
old = Person("ann")
cart = Cart(old)
new = Person("bob")
cart.owner = new
new.name = "Bob"
old.name = "Ann"
cart.owner = 7
cart.owner = None
print(new.name, old.name, isinstance(new, Person))
"""


def test_dotted_path_follows_the_assigned_object_and_detaches_the_old(child):
    proc, result = traced(child, {"main.py": DOTTED}, "--class", "Cart:owner.name", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "Bob Ann True\n"
    main = child.cwd / "main.py"
    changes = tagged(result, "VALUE CHANGED0")
    # Only the new owner reports to the cart; the old one was detached.
    assert changes == [f"{A}VALUE CHANGED0 in {main} line 11:new.name = \"Bob\"\uff0cDerived class -"
                       f"<class '__main__.Person'>.name from bob to Bob"]
    owners = tagged(result, "VALUE CHANGED5")
    assert len(owners) == 4
    # Values the path cannot instrument (an int, None) are reported, not followed.
    assert owners[2].endswith(", 'Bob'] to [7, None]")
    assert owners[3].endswith("to [None, None]")


def test_generated_class_is_reused_and_users_are_reported_once(vx):
    class Owner:
        pass
    a, b = Owner(), Owner()
    d1 = vx.initialize_new_class_combine_attrs_and_users([["name", ""]], a, ["u1", "u2", "u1"])
    d2 = vx.initialize_new_class_combine_attrs_and_users([["name", ""]], b, ["u1"])
    assert d1 is d2 and type(a) is d1 and vx.class_map[d1] is Owner
    assert d1.__name__ == "Derived" and d1.__module__ == "vardex"
    assert d1.__qualname__ == "initialize_new_class_combine_attrs_and_users.<locals>.Derived"
    # Instrumenting again keeps the generated class.
    assert vx.initialize_new_class_combine_attrs_and_users([["name", ""]], a, ["u3"]) is d1
    assert type(a) is d1
    assert vx.initialize_new_class_combine_attrs_and_users([["name", ""]], 0, ["u"]) is None
    for value in (5, "text", (1, 2), None):
        assert vx.initialize_new_class_combine_attrs_and_users([["name", ""]], value, ["u"]) is None

    class Slotted:
        __slots__ = ("name",)
    s = Slotted()
    assert vx.initialize_new_class_combine_attrs_and_users([["name", ""]], s, ["u"]) is None
    assert type(s) is Slotted


def test_copies_of_watched_instances_and_lists(child):
    files = {"main.py": """
        import copy, pickle
        class Bag:
            def __init__(self):
                self.items = [1, [2]]
                self.n = 1
        bag = Bag()
        bag.items.append(3)
        twin = bag.copy()
        deep = bag.deepcopy()
        c1, c2 = copy.copy(bag), copy.deepcopy(bag)
        l1, l2 = copy.copy(bag.items), copy.deepcopy(bag.items)
        print(twin is bag, deep is bag, c2.items == bag.items, l1 == bag.items, l2 == bag.items)
        print(l2[1] is bag.items[1], type(pickle.loads(pickle.dumps(bag.items))).__name__)
        c2.items.append(4)
        print(bag.items, c2.items, vars(c2)["n"])
        import vardex
        print(len(vardex.trace_info[bag]))
        """}
    proc, result = traced(child, files, "--class", "Bag:n:items", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "False False True True True"
    assert lines[1] == "False list"
    assert lines[2] == "[1, [2], 3] [1, [2], 3, 4] 1"
    # The last copy wrapper replaced the bag's reports by one VALUE INIT line, in memory only.
    assert lines[3] == "1"
    assert "VALUE INIT" not in result


def test_copy_wrapper_keeps_value_init_in_memory(child):
    files = {"main.py": """
        import vardex
        class Box:
            def __init__(self):
                self.v = 3
            def copy(self):
                return Box()
        b = Box()
        c = b.copy()
        print(vardex.trace_info[b], vardex.trace_last_values[b], c is not b)
        """}
    proc, result = traced(child, files, "--class", "Box:v", "--print", "0")
    main = child.cwd / "main.py"
    line = f"{A}VALUE INIT in {main} line 8:c = b.copy()\uff0cCREATING Class-Box\uff0c['$item.v'] : [3]"
    assert proc.stdout == f"{[line]} [3] True\n"
    assert "VALUE INIT" not in result


def test_unhashable_instances_are_filed_by_identity(child):
    files = {"main.py": """
        from dataclasses import dataclass, field
        @dataclass
        class Point:
            x: int
            tags: list = field(default_factory=list)
            @property
            def twice(self):
                return self.x * 2
        def touch():
            pass
        p = Point(1)
        q = Point(1)
        p.x = 2
        p.tags.append("a")
        touch()
        print(p, q, p == q)
        """}
    proc, result = traced(child, files, "--class", "Point:x,twice:tags", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "Point(x=2, tags=['a']) Point(x=1, tags=[]) False\n"
    assert len(tagged(result, "Class Created9-Point")) == 1
    assert len(tagged(result, "Class created8-Point")) == 1
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == [
        "[None] to [1]", "[None] to [1]", "[1] to [2]"]
    assert tagged(result, "VALUE CHANGED9")[0].endswith(".tags to ['a']")
    # Methods that dataclasses compiles from a string are named as such, with no source.
    assert all(" in <string> line " in r and ":\uff0c" in r for r in tagged(result, "VALUE CHANGED5")[:2])
    assert tagged(result, "VALUE CHANGED4")


def test_an_instance_made_through_a_subclass_init_is_created_where_it_is_made(child):
    files = {"main.py": """
        class Base:
            def __init__(self):
                self.v = 1
        class Sub(Base):
            def __init__(self):
                super().__init__()
                self.v = 2
        class Leaf(Sub):
            def __init__(self):
                Sub.__init__(self)
        b = Base()
        s = Sub()
        leaf = Leaf()
        """}
    proc, result = traced(child, files, "--class", "Base:v", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    main = child.cwd / "main.py"
    assert tagged(result, "Class created8") == [f"{A}Class created8-Sub in {main} line 12:s = Sub()",
                                                f"{A}Class created8-Leaf in {main} line 13:leaf = Leaf()"]


def test_instances_that_test_false_are_reported_like_any_other(child):
    files = {"main.py": """
        class Empty:
            def __init__(self):
                self.x = 1
            def __len__(self):
                return 0
        class Config(dict):
            def __init__(self):
                super().__init__()
                self.x = 1
        e = Empty()
        e.x = 2
        c = Config()
        c.x = 3
        print(bool(e), c, c.x)
        """}
    proc, result = traced(child, files, "--class", "Empty:x", "--class", "Config:x", "--print", "0")
    assert proc.returncode == 0 and proc.stdout == "False {} 3\n"
    assert not [line for line in proc.stderr.splitlines() if not line.startswith("vardex: results in ")]
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == [
        "[None] to [1]", "[1] to [2]", "[None] to [1]", "[1] to [3]"]


def test_a_watched_list_made_again_from_its_type_is_a_plain_list(child):
    files = {"main.py": """
        import copy
        from dataclasses import dataclass, field, asdict
        @dataclass
        class Order:
            items: list = field(default_factory=list)
        o = Order()
        o.items.append(1)
        print(asdict(o))
        other = type(o.items)([5, 6])
        other.append(7)
        copied = copy.deepcopy(other)
        copied.append(8)
        again = Order(**asdict(o))
        again.items.append(2)
        print(other, type(o.items)(), copied, again.items)
        """}
    proc, result = traced(child, files, "--class", "Order::items", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == untraced(child).stdout == "{'items': [1]}\n[5, 6, 7] [] [5, 6, 7, 8] [1, 2]\n"
    # Only the watched attribute's lists report, one given back to it too.
    assert [r.split(" to ")[-1] for r in tagged(result, "VALUE CHANGED9")] == ["[1]", "[1, 2]"]


def test_odd_initialisers_and_unset_state_do_not_break_the_program(child):
    files = {"main.py": """
        import pickle
        class Thing:
            def __init__(this, v):
                this.v = v
            @property
            def w(self):
                return self._w
            @w.setter
            def w(self, value):
                self._w = value
        t = Thing(1)
        t.w = 5
        raw = Thing.__new__(Thing)
        raw.v = 9
        raw.w = 4
        back = pickle.loads(pickle.dumps(t))
        back.v = 2
        print(t.v, t.w, raw.v, raw.w, back.v)
        """}
    proc, result = traced(child, files, "--class", "Thing:v,w", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "1 5 9 4 2\n"
    assert "vardex:" not in proc.stderr.replace("vardex: results", "")
    # The unpickled copy carries the watch; the instance made by __new__ does not.
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == ["[None] to [1]", "[1] to [2]"]
    # The first write of a property: no old value, None stands for it.
    assert tagged(result, "VALUE CHANGED6")[0].endswith("changed/together with. from [None] to [5]")


def test_list_attribute_mutations_each_report_at_their_line(child):
    files = {"main.py": """
        class Q:
            def __init__(self):
                self.jobs = [3, 1, 2]
        q = Q()
        q.jobs.sort()
        q.jobs.reverse()
        q.jobs.pop()
        del q.jobs[0]
        q.jobs += [7, 8]
        q.jobs *= 2
        del q.jobs[1:3]
        q.jobs[0] = q.jobs[0]
        q.jobs.insert(0, 5)
        q.jobs.remove(5)
        q.jobs.extend([9])
        q.jobs.clear()
        try:
            q.jobs.remove(42)
        except ValueError:
            pass
        q.jobs = None
        q.jobs = (1, 2)
        print(q.jobs, type(q.jobs).__name__)
        q.jobs = [4]
        q.jobs.append(5)
        print(q.jobs, type(Q.jobs).__name__)
        """}
    proc, result = traced(child, files, "--class", "Q::jobs", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "(1, 2) tuple\n[4, 5] ObservableListDescriptor\n"
    lines = [(int(r.split(" line ")[1].split(":")[0]), r.rsplit(" to ", 1)[1])
             for r in tagged(result, "VALUE CHANGED9")]
    assert lines == [(5, "[1, 2, 3]"), (6, "[3, 2, 1]"), (7, "[3, 2]"), (8, "[2]"), (9, "[2, 7, 8]"),
                     (10, "[2, 7, 8, 2, 7, 8]"), (11, "[2, 2, 7, 8]"), (13, "[5, 2, 2, 7, 8]"),
                     (14, "[2, 2, 7, 8]"), (15, "[2, 2, 7, 8, 9]"), (16, "[]"), (25, "[4, 5]")]
    assignments = [r.split("to new value: ")[1].split("<")[0] for r in tagged(result, "VALUE CHANGED10")]
    # `+=` and `*=` also assign the attribute again.
    assert assignments[-6:] == ["[3, 1, 2]", "[2, 7, 8]", "[2, 7, 8, 2, 7, 8]", "None", "(1, 2)", "[4]"]


def test_observable_list_and_descriptor_through_the_module(vx, monkeypatch):
    monkeypatch.setattr(vx, "subprocess_flag", 1)
    lst = vx.ObservableList_for_trace("owner", "items")
    lst.append(1)
    lst[0] = 1
    with pytest.raises(ValueError):
        lst.remove(9)
    text = vx.trace_result_file_path.read_text(encoding="utf-8")
    assert [r for r in text.splitlines() if r.startswith(A)] == [
        f"{A}VALUE CHANGED9 in {__file__} line {lst_line()}:lst.append(1)\uff0cowner.items to [1]"]

    class Holder:
        pass
    h = Holder()
    d = vx.ObservableListDescriptor(h, h, "", [1])
    Holder.stuff = d
    assert Holder.stuff is d
    plain = [1, 2]
    h.stuff = plain
    assert h.stuff == plain and h.stuff is not plain
    assert isinstance(h.stuff, vx.ObservableList_for_trace)
    fresh = Holder()
    assert fresh.stuff == [] and "VALUE CHANGED10" not in vx.trace_result_file_path.read_text(encoding="utf-8")


def lst_line():
    import inspect
    source = inspect.getsource(test_observable_list_and_descriptor_through_the_module).splitlines()
    first = test_observable_list_and_descriptor_through_the_module.__code__.co_firstlineno
    return first + next(i for i, s in enumerate(source) if "lst.append(1)" in s)


def test_user_exceptions_propagate_and_tool_failures_do_not(child):
    files = {"main.py": """
        import vardex
        class Acc:
            def __init__(self, fail=False):
                if fail:
                    raise KeyError("init")
                self.total = 0
            @property
            def level(self):
                return self._level
            @level.setter
            def level(self, v):
                if v < 0:
                    raise ValueError("negative")
                self._level = v
            def __str__(self):
                raise RuntimeError("no text")
        a = Acc()
        try:
            a.level = -1
        except ValueError as e:
            print("setter:", e)
        try:
            Acc(fail=True)
        except KeyError as e:
            print("init:", e)
        vardex.trace_info = 5
        a.total = 3
        a.level = 2
        print(a.total, a.level)
        """}
    proc, result = traced(child, files, "--class", "Acc:total,level", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "setter: negative\ninit: 'init'\n3 2\n"
    tool_lines = [line for line in proc.stderr.splitlines() if line.startswith("vardex: ")
                  and not line.startswith("vardex: results")]
    assert tool_lines and all(line.startswith("vardex: ") for line in tool_lines)
    # Values whose text fails are shown in object.__repr__ form.
    assert "<__main__.Acc object at 0x" in result


def test_hooks_run_in_the_assigning_thread(child):
    files = {"main.py": """
        import threading
        class Counter:
            def __init__(self):
                self.n = 0
                self.log = []
        c = Counter()
        lock = threading.Lock()
        def work(k):
            for i in range(50):
                with lock:
                    c.n += 1
                    c.log.append(k)
        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(c.n, len(c.log))
        """}
    proc, result = traced(child, files, "--class", "Counter:n:log", "--print", "0")
    assert proc.stdout == "200 200\n", proc.stderr
    assert len(tagged(result, "VALUE CHANGED5")) == 201
    assert len(tagged(result, "VALUE CHANGED9")) == 200


MIXED = {
    "main.py": """
        import copy, sys, threading
        from dataclasses import dataclass, field
        from model import Account, Ledger, Slim, Tag

        @dataclass
        class Order:
            qty: int
            lines: list = field(default_factory=list)

        ledger = Ledger("main")
        acct = Account(ledger)
        orders = [Order(i) for i in range(3)]
        def pay(n):
            for i in range(n):
                acct.balance += i
                acct.history.append(i)
                orders[i % 3].qty += 1
        ts = [threading.Thread(target=pay, args=(20,)) for _ in range(2)]
        [t.start() for t in ts]
        [t.join() for t in ts]
        acct.ledger = Ledger("second")
        acct.ledger.name = "renamed"
        acct.limit = 50
        acct.tag = Tag("t")
        acct.slim = Slim(3)
        acct.slim.v = 4
        twin = copy.deepcopy(acct)
        twin.history.append(-1)
        try:
            acct.limit = -5
        except ValueError as e:
            print("refused", e)
        print(acct.balance, len(acct.history), acct.ledger.name, acct.limit, twin.limit, acct.headroom)
        print([o.qty for o in orders], orders[0] == Order(orders[0].qty), twin.history[-1])
        sys.exit(3)
        """,
    "model.py": """
        from collections import namedtuple
        Tag = namedtuple("Tag", "label")

        class Slim:
            __slots__ = ("v",)
            def __init__(self, v):
                self.v = v

        class Ledger:
            def __init__(self, name):
                self.name = name

        class Account:
            def __init__(self, ledger):
                self.ledger = ledger
                self.balance = 0
                self.history = []
                self._limit = 10
                self.tag = None
                self.slim = None

            @property
            def limit(self):
                return self._limit

            @limit.setter
            def limit(self, v):
                if v < 0:
                    raise ValueError(v)
                self._limit = v

            @property
            def headroom(self):
                return self._limit - self.balance
        """,
}


def test_mixed_project_runs_as_untraced(child):
    write(child.cwd, MIXED)
    plain = untraced(child)
    proc, result = traced(child, {}, "--class", "Account:balance,limit,headroom,ledger.name,tag.label,slim.v:history",
                          "--class", "Order:qty:lines", "--class", "Slim:v", "--print", "0")
    assert (proc.stdout, proc.returncode) == (plain.stdout, plain.returncode) == (plain.stdout, 3)
    assert "Traceback" not in proc.stderr
    assert "renamed" in result and "VALUE CHANGED6" in result and "VALUE CHANGED4" in result


def test_paths_that_utf8_cannot_hold_are_written_with_repr(child):
    folder = child.cwd / os.fsdecode(b"pr\xffj")
    try:
        folder.mkdir()
    except (OSError, UnicodeEncodeError):
        pytest.skip("the file system refuses undecodable names")
    write(folder, {"main.py": "class K:\n    def __init__(self):\n        self.v = 1\nk = K()\nk.v = 2\nprint(k.v)\n"})
    proc = child.run(RUN, str(folder / "main.py"), "--class", "K:v", "--var", "k", "--print", "0", check=False)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "2\n"
    assert "vardex: " not in proc.stderr.replace("vardex: results", "")
    result = (child.data_dir / "trace_result.txt").read_text(encoding="utf-8")
    assert "pr\\udcffj" in result and "VALUE CHANGED5" in result and "VALUE CHANGED3" in result


def test_instances_hashed_over_fields_unset_before_init_are_filed(child):
    files = {"main.py": """
        from dataclasses import dataclass
        @dataclass(frozen=True)
        class Key:
            x: int
        @dataclass(unsafe_hash=True)
        class Cell:
            v: int
        a, b = Key(1), Key(2)
        c = Cell(1)
        c.v = 4
        print(a, b, c, hash(c) == hash((4,)))
        """}
    proc, result = traced(child, files, "--class", "Key:x", "--class", "Cell:v", "--print", "0")
    assert proc.stdout == "Key(x=1) Key(x=2) Cell(v=4) True\n"
    assert "vardex: " not in proc.stderr.replace("vardex: results", "")
    assert len(tagged(result, "Class Created9")) == 2 and len(tagged(result, "Class created8")) == 1
    assert tagged(result, "VALUE CHANGED5")[-1].endswith("from [1] to [4]")


@pytest.fixture
def watch_state(vx, monkeypatch):
    for name in ("trace_last_values", "deledinfo", "last_values_has_to_watch_yourself", "class_map"):
        monkeypatch.setattr(vx, name, {})
    monkeypatch.setattr(vx, "trace_class_instances_list", [])
    monkeypatch.setattr(vx, "subprocess_flag", 1)
    return vx


def test_watch_check_takes_an_instance_out_when_its_condition_fails(watch_state):
    vx = watch_state

    class T:
        pass
    T.check_self_del_from_watch = vx.check_self_method_del_from_watch(condition_A="self.keep")
    t = T()
    t.keep, t.watching = True, 1
    vx.trace_info[t] = ["r"]
    vx.trace_class_instances_list.append(t)
    assert t.check_self_del_from_watch() is None
    assert vx.trace_class_instances_list == [t] and vx.trace_info[t] == ["r"]
    t.keep = False
    t.check_self_del_from_watch()
    assert vx.trace_class_instances_list == [] and vx.deledinfo[t] == ["r"]
    assert t not in vx.trace_info and t.watching == 0


def test_wrapped_init_records_the_instance_and_runs_the_original(watch_state):
    vx = watch_state

    class T:
        def __init__(self, v, *, w=0):
            self.v = v + w
    T.__init__ = vx.new_class_init_method(T.__init__, ["$item.v"], "1", [])
    T._trace_info_list111qadfe = []
    t = T(1, w=2)
    assert t.v == 3 and t.watching == 1 and t._report_user_list == [t]
    assert vx.trace_class_instances_list == [t] and vx.watching_instances == [t]
    [line] = [r for r in result_lines(vx) if r.startswith(A)]
    assert line.startswith(f"{A}Class created8-T in {__file__} line ") and line.endswith(":t = T(1, w=2)")
    # A creation site outside the filter is constructed and watched, but its
    # creation is not recorded.
    T._trace_info_list111qadfe = [["elsewhere.py", [1]]]
    u = T(5)
    assert u.v == 5 and u.watching == 1 and u._report_user_list == [u]
    assert vx.trace_class_instances_list == [t] and vx.watching_instances == [t]


def result_lines(vx):
    return vx.trace_result_file_path.read_text(encoding="utf-8").splitlines()


def test_objects_assigned_to_their_own_watched_path_do_not_hang(child):
    files = {"main.py": """
        import copy
        class Node:
            def __init__(self, val):
                self.val = val
                self.next = None
        n = Node(1)
        n.next = n
        n.val = 2
        m = copy.copy(n)
        n.next = m
        m.val = 3
        print(n.next.val, len(n._report_user_list) < 10)
        """}
    proc, result = traced(child, files, "--class", "Node:next.val", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "3 True\n"
    assert "VALUE CHANGED5" in result


def test_without_a_free_monitoring_tool_id_the_trace_function_serves(child, engine):
    (child.module_dir / "sitecustomize.py").write_text(
        "import sys\nfor i in (3, 4):\n    sys.monitoring.use_tool_id(i, 'other')\n", encoding="utf-8")
    proc, result = traced(child, {"main.py": LATER}, "--class", "Box:v", "--print", "0")
    assert proc.stdout == "1 20 30\n"
    said = [line for line in proc.stderr.splitlines() if line.startswith("vardex: no free")]
    assert said == (["vardex: no free sys.monitoring tool id; tracing with sys.settrace"]
                    if engine == "monitoring" else [])
    assert len(tagged(result, "VALUE CHANGED5")) == 5


def test_a_program_with_its_own_trace_function_runs_as_untraced(child, engine):
    files = {"main.py": """
        import sys
        class Box:
            def __init__(self):
                self.v = 1
        seen = []
        def mine(frame, event, arg):
            if event == "call":
                seen.append(frame.f_code.co_name)
            return None
        b = Box()
        sys.settrace(mine)
        def work():
            b.v = 2
        work()
        sys.settrace(None)
        b.v = 3
        print(seen)
        """}
    write(child.cwd, files)
    plain = untraced(child)
    proc, result = traced(child, {}, "--class", "Box:v", "--print", "0")
    assert proc.stdout == plain.stdout == "['work']\n"
    # The reports up to the program's own tracing are kept, and the later ones too.
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == ["[None] to [1]", "[1] to [2]",
                                                                              "[2] to [3]"]


def test_generators_and_coroutines_thrown_into_run_as_untraced(child, engine):
    files = {"main.py": """
        import asyncio
        class Box:
            def __init__(self):
                self.v = 0
        b = Box()
        def gen():
            try:
                yield 1
            except KeyError:
                b.v = 5
                yield 2
        g = gen()
        next(g)
        print(g.throw(KeyError()))
        async def job():
            await asyncio.sleep(0)
            b.v = 6
        asyncio.run(job())
        print(b.v)
        """}
    proc, result = traced(child, files, "--class", "Box:v", "--print", "0")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "2\n6\n"
    assert "vardex: " not in proc.stderr.replace("vardex: results", "")
    assert [r.split(" from ")[1] for r in tagged(result, "VALUE CHANGED5")] == ["[None] to [0]", "[0] to [5]",
                                                                              "[5] to [6]"]
