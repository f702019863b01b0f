# Order processing for a small online shop.
require "json"

module Shop
  class Order
    attr_reader :lines

    def initialize(customer)
      @customer = customer
      @lines = []
    end

    def add(product, quantity = 1)
      @lines << { product: product, quantity: quantity }
      self
    end

    def total
      @lines.sum { |line| line[:product].price * line[:quantity] }
    end

    def self.from_json(text)
      data = JSON.parse(text)
      data["lines"].each_with_object(new(data["customer"])) do |line, order|
        order.add(Product.new(line["name"], line["price"]), line["quantity"])
      end
    end
  end

  class Product < Struct.new(:name, :price)
    def to_s
      "#{name} (#{format("%.2f", price)})"
    end
  end

  def self.receipt(order)
    order.lines.map { |line| line[:product].to_s }.join("\n"
  end
end

def checkout(order)
  puts Shop.receipt(order)
end
