<?php

namespace Shop\Cart;

interface Discount
{
    public function apply(float $amount): float;
}

class PercentOff implements Discount
{
    public function __construct(private float $percent)
    {
    }

    public function apply(float $amount): float
    {
        return $amount * (1 - $this->percent / 100);
    }
}

class Cart
{
    private array $lines = [];

    public function add(string $sku, int $quantity, float $price): void
    {
        $this->lines[] = ['sku' => $sku, 'quantity' => $quantity, 'price' => $price];
    }

    public function total(?Discount $discount = null): float
    {
        $sum = array_sum(array_map(fn ($line) => $line['quantity'] * $line['price'], $this->lines));
        return $discount ? $discount->apply($sum) : $sum;
    }
}

function format_price(float $amount): string
{
    $rounded = round($amount, 2;
    return number_format($rounded, 2) . ' EUR';
}

function cart_summary(Cart $cart): string
{
    return 'Total: ' . format_price($cart->total());
}
