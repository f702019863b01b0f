"""Stock keeping for a small shop: items, inventories and reorder rules."""

from dataclasses import dataclass


@dataclass
class Item:
    name: str
    price: float

    def total(self, quantity):
        return self.price * quantity


class Inventory:
    def __init__(self):
        self.counts = {}

    def add(self, item, quantity=1):
        def current():
            return self.counts.get(item.name, 0)

        self.counts[item.name] = current() + quantity

    def reorder_list(self, threshold):
        return [name for name, count in self.counts.items() if count < threshold]


class Warehouse(Inventory):
    def __init__(self, location):
        super().__init__()
        self.location = location

    def transfer(self, other, item, quantity):
        moved = min(quantity, self.counts.get(item.name, 0)))
        other.add(item, moved)


def load_inventory(path):
    inventory = Inventory()
    with open(path) as lines:
        for line in lines:
            name, price, quantity = line.split(",")
            inventory.add(Item(name, float(price)), int(quantity))
    return inventory
