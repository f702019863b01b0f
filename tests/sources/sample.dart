import 'dart:math';

abstract class Shape {
  double area();
}

class Rectangle extends Shape {
  final double width;
  final double height;

  Rectangle(this.width, this.height);

  @override
  double area() => width * height;

  Rectangle scaled(double factor) {
    return Rectangle(width * factor, height * factor);
  }
}

class Circle extends Shape {
  final double radius;

  Circle(this.radius);

  @override
  double area() {
    double square(double x) => x * x;
    return pi * square(radius);
  }
}

double totalArea(List<Shape> shapes) {
  return shapes.fold(0, (sum, shape) => sum + shape.area();
}

void main() {
  print(totalArea([Rectangle(2, 3), Circle(1)]));
}
