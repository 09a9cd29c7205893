// The contact sheet: a grid of thumbnails, spread evenly over everything delivered, each with
// its frame time drawn on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "picture.h"

struct SwsContext;

namespace play {

class ContactSheet {
public:
    ContactSheet(int columns, int pictures, int thumbWidth);
    ~ContactSheet();
    ContactSheet(const ContactSheet&) = delete;
    ContactSheet& operator=(const ContactSheet&) = delete;

    // Whether the picture delivered at this index would be kept. Cheap and safe to ask from
    // another thread than the one adding, so that only wanted pictures need copying.
    bool Wants(int64_t index) const { return index % m_stride.load() == 0; }

    // Keeps a thumbnail of the picture when it is still wanted.
    void Add(const Picture& picture);

    // Thumbnails the sheet will show (at most the number asked for).
    int Count() const;
    int ThumbHeight() const { return m_thumbHeight; }

    // The sheet; an empty picture when nothing was added.
    Picture Compose() const;

    // Size of a sheet with count thumbnails of the given size.
    static void SheetSize(int columns, int count, int thumbWidth, int thumbHeight, int& width,
                          int& height);
    static constexpr int kMargin = 8;

private:
    struct Thumb {
        Picture picture;  // thumbWidth x thumbHeight, the picture letter-boxed inside
        int64_t frameTime;
        int64_t index;
    };
    Picture Scale(const Picture& picture);
    std::vector<const Thumb*> Chosen() const;

    int m_columns, m_pictures, m_thumbWidth, m_thumbHeight = 0;
    std::atomic<int64_t> m_stride{1};
    std::vector<Thumb> m_thumbs;  // candidates, twice as many as shown, in delivery order
    SwsContext* m_scaler = nullptr;
};

}  // namespace play
