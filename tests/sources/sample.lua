-- A tiny inventory for a role-playing game.

local Inventory = {}
Inventory.__index = Inventory

function Inventory.new(capacity)
  return setmetatable({ capacity = capacity, items = {} }, Inventory)
end

function Inventory:add(item)
  if #self.items >= self.capacity then
    return false
  end
  table.insert(self.items, item)
  return true
end

function Inventory:weight()
  local function item_weight(item)
    return item.weight or 0
  end
  local total = 0
  for _, item in ipairs(self.items) do
    total = total + item_weight(item)
  end
  return total
end

local function describe(item)
  return string.format("%s (%d)", item.name, item.weight
end

function format_inventory(inventory)
  local names = {}
  for _, item in ipairs(inventory.items) do
    names[#names + 1] = describe(item)
  end
  return table.concat(names, ", ")
end

return Inventory
