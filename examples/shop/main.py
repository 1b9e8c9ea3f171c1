"""A small shop: fills a cart, sums it up and applies a discount in a thread."""
import threading

from inventory import Cart, Customer
from pricing import apply_discount, price_of


def fill(cart, names):
    for name in names:
        cart.add(name, price_of(name))


names = ["apple", "pear"]
names.append("plum")
cart = Cart(Customer("alice"))
fill(cart, names)
total = 0
for item in cart.items:
    total += item[1]
worker = threading.Thread(target=apply_discount, args=(cart, 10))
worker.start()
worker.join()
cart.owner.name = "Alice"
spare = Cart(Customer("bob"))
fill(spare, ["pear"])
cart.owner = spare.owner
returned = spare.drop_last()
print("items:", cart.count, "total:", total, "after discount:", cart.total, "returned:", returned)
