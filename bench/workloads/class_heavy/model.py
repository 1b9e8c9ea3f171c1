class Account:
    """An account whose balance and pending entries are watched; `scratch` is not."""

    def __init__(self, owner):
        self.owner = owner
        self.balance = 0
        self.entries = []
        self.scratch = 0

    def record(self, i):
        self.scratch = i
        return i & 7

    def deposit(self, amount):
        self.balance += amount

    def note(self, i):
        # A buffer of pending entries, flushed every hundred.
        self.entries.append(i)
        if len(self.entries) >= 100:
            self.entries.clear()
