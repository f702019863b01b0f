import Foundation

protocol Shape {
    func area() -> Double
}

struct Circle: Shape {
    let radius: Double

    func area() -> Double {
        return Double.pi * radius * radius
    }
}

class Canvas {
    private var shapes: [Shape] = []

    init() {}

    func add(_ shape: Shape) {
        shapes.append(shape)
    }

    func totalArea() -> Double {
        func sum(_ values: [Double]) -> Double {
            return values.reduce(0, +)
        }
        return sum(shapes.map { $0.area() })
    }
}

enum Unit {
    case metres, feet
}

extension Canvas {
    func describe() -> String {
        return "\(shapes.count) shapes covering " + String(totalArea()))
    }
}

func scaled(_ circle: Circle, by factor: Double) -> Circle {
    return Circle(radius: circle.radius * factor)
}
