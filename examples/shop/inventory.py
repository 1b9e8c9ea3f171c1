class Customer:
    def __init__(self, name):
        self.name = name


class Cart:
    def __init__(self, owner):
        self.owner = owner
        self.items = []
        self.total = 0
        self._discount = 0

    @property
    def count(self):
        return len(self.items)

    @property
    def discount(self):
        return self._discount

    @discount.setter
    def discount(self, percent):
        self._discount = percent
        self.total = self.total * (100 - percent) / 100

    def add(self, name, price):
        self.items.append((name, price))
        self.total += price

    def drop_last(self):
        name, price = self.items.pop()
        self.total -= price
        return name
