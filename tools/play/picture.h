// A picture kept by the host: tightly packed 24-bit BGR, rows top to bottom.
#pragma once

#include <cstdint>
#include <vector>

namespace play {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bgr;  // 3 * width * height bytes
    int64_t frameTime = -1;    // recorder time, 100 ns units from year 1; -1 none
    int64_t index = 0;         // position in the order of delivery, from 0
    int source = 0;            // 0 main stream, 1 FOS stream

    Picture() = default;
    Picture(int w, int h) : width(w), height(h), bgr(static_cast<size_t>(w) * h * 3) {}
    bool Empty() const { return width <= 0 || height <= 0; }
    uint8_t* Row(int y) { return bgr.data() + static_cast<size_t>(y) * width * 3; }
    const uint8_t* Row(int y) const { return bgr.data() + static_cast<size_t>(y) * width * 3; }
};

}  // namespace play
