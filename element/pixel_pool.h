// Pixel buffers of the element's pictures, kept for reuse. Every picture needs a buffer of
// its own (the host may look at it during the callback while the next ones are converted);
// a fresh buffer of a few MiB a picture is mapped and zeroed page by page by the system,
// which cost about a tenth of the element's CPU time at 720p. Presented pictures give their
// buffers back, and the decoders take them again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/mem.h>
}

namespace element {

class PixelPool {
public:
    PixelPool() = default;
    ~PixelPool() {
        for (auto& [size, pixels] : m_free) av_free(pixels);
    }
    PixelPool(const PixelPool&) = delete;
    PixelPool& operator=(const PixelPool&) = delete;

    // A buffer of exactly size bytes (contents undefined), or null.
    unsigned char* Take(size_t size) {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            for (auto it = m_free.begin(); it != m_free.end(); ++it) {
                if (it->first != size) continue;
                unsigned char* pixels = it->second;
                *it = m_free.back();
                m_free.pop_back();
                return pixels;
            }
        }
        return static_cast<unsigned char*>(av_malloc(size));
    }

    // Keeps the buffer for a later Take, unless enough are kept already.
    void Give(unsigned char* pixels, size_t size) {
        if (pixels == nullptr) return;
        {
            std::lock_guard<std::mutex> hold(m_lock);
            if (m_free.size() < m_limit) {
                m_free.emplace_back(size, pixels);
                return;
            }
        }
        av_free(pixels);
    }

    // Buffers kept at most: enough for the pictures of every channel that pass between a
    // presentation and the next decoding.
    void SetLimit(size_t limit) {
        std::lock_guard<std::mutex> hold(m_lock);
        m_limit = limit;
        while (m_free.size() > m_limit) {
            av_free(m_free.back().second);
            m_free.pop_back();
        }
    }

private:
    std::mutex m_lock;
    std::vector<std::pair<size_t, unsigned char*>> m_free;
    size_t m_limit = 8;
};

}  // namespace element
