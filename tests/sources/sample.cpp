// A fixed-size ring buffer of audio samples with simple statistics.
#include <cstddef>
#include <vector>

typedef float Sample;
typedef struct {
    Sample left;
    Sample right;
} Frame;

struct Stats {
    Sample peak;
    Sample mean;
};

class RingBuffer {
public:
    explicit RingBuffer(std::size_t capacity);
    void push(Sample value);
    Stats stats() const;

private:
    std::vector<Sample> samples_;
    std::size_t next_ = 0;
};

RingBuffer::RingBuffer(std::size_t capacity) : samples_(capacity) {}

void RingBuffer::push(Sample value) {
    samples_[next_] = value;
    next_ = (next_ + 1) % samples_.size();
}

Stats RingBuffer::stats() const {
    Stats result{0, 0};
    for (Sample value : samples_) {
        result.peak = value > result.peak ? value : result.peak;
        result.mean += value / samples_.size();
    }
    return result;
}

namespace dsp {
template <typename T>
T clamp(T value, T low, T high) {
    return value < low ? low : (value > high ? high : value;
}
}

static Sample mix(Frame frame) {
    return (frame.left + frame.right) / 2;
}
