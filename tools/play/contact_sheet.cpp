#include "contact_sheet.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "font.h"
#include "recorder_time.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace play {
namespace {

constexpr Colour kBackground{32, 32, 32};
constexpr Colour kLabelBand{0, 0, 0};
constexpr Colour kLabelText{255, 255, 255};

// Darkens the band behind a label to a third, so the text reads on any picture while the
// picture still shows through.
void Shade(Picture& p, int x, int y, int w, int h) {
    for (int row = std::max(y, 0); row < std::min(y + h, p.height); ++row) {
        uint8_t* px = p.Row(row) + std::max(x, 0) * 3;
        for (int col = std::max(x, 0); col < std::min(x + w, p.width); ++col)
            for (int k = 0; k < 3; ++k, ++px) *px = static_cast<uint8_t>(*px / 3);
    }
}

void Label(Picture& p, int x, int y, const std::string& text, int scale) {
    int pad = scale + 1;
    Shade(p, x, y, TextWidth(text, scale) + 2 * pad, kGlyphHeight * scale + 2 * pad);
    DrawText(p, x + pad, y + pad, text, scale, kLabelText);
}

}  // namespace

ContactSheet::ContactSheet(int columns, int pictures, int thumbWidth)
    : m_columns(std::max(columns, 1)),
      m_pictures(std::max(pictures, 1)),
      m_thumbWidth(std::max(thumbWidth, 16)) {}

ContactSheet::~ContactSheet() {
    sws_freeContext(m_scaler);
}

void ContactSheet::SheetSize(int columns, int count, int thumbWidth, int thumbHeight, int& width,
                             int& height) {
    int rows = (count + columns - 1) / columns;
    int cols = std::min(count, columns);
    width = kMargin + cols * (thumbWidth + kMargin);
    height = kMargin + rows * (thumbHeight + kMargin);
}

Picture ContactSheet::Scale(const Picture& in) {
    // Fit inside the cell keeping the aspect ratio; the cell's height follows the first picture.
    double fit = std::min(static_cast<double>(m_thumbWidth) / in.width,
                          static_cast<double>(m_thumbHeight) / in.height);
    int w = std::clamp(static_cast<int>(std::lround(in.width * fit)), 1, m_thumbWidth);
    int h = std::clamp(static_cast<int>(std::lround(in.height * fit)), 1, m_thumbHeight);
    m_scaler = sws_getCachedContext(m_scaler, in.width, in.height, AV_PIX_FMT_BGR24, w, h,
                                    AV_PIX_FMT_BGR24, SWS_AREA, nullptr, nullptr, nullptr);
    Picture cell(m_thumbWidth, m_thumbHeight);
    FillRect(cell, 0, 0, cell.width, cell.height, kLabelBand);
    if (!m_scaler) return cell;
    int x = (m_thumbWidth - w) / 2, y = (m_thumbHeight - h) / 2;
    const uint8_t* src[4] = {in.bgr.data(), nullptr, nullptr, nullptr};
    int srcStride[4] = {in.width * 3, 0, 0, 0};
    uint8_t* dst[4] = {cell.Row(y) + x * 3, nullptr, nullptr, nullptr};
    int dstStride[4] = {cell.width * 3, 0, 0, 0};
    sws_scale(m_scaler, src, srcStride, 0, in.height, dst, dstStride);
    return cell;
}

void ContactSheet::Add(const Picture& picture) {
    if (picture.Empty() || !Wants(picture.index)) return;
    if (m_thumbHeight == 0)
        m_thumbHeight = std::max(2, static_cast<int>(std::lround(static_cast<double>(m_thumbWidth) *
                                                                 picture.height / picture.width)));
    // Twice as many candidates as shown: when they are all taken, every other one goes and
    // only every other picture is wanted from then on, so the candidates stay spread evenly
    // over the whole run however long it turns out to be.
    if (m_thumbs.size() >= static_cast<size_t>(2 * m_pictures)) {
        int64_t stride = m_stride.load() * 2;
        std::erase_if(m_thumbs, [stride](const Thumb& t) { return t.index % stride != 0; });
        m_stride.store(stride);
        if (!Wants(picture.index)) return;
    }
    m_thumbs.push_back(Thumb{Scale(picture), picture.frameTime, picture.index});
}

std::vector<const ContactSheet::Thumb*> ContactSheet::Chosen() const {
    std::vector<const Thumb*> chosen;
    size_t n = m_thumbs.size(), want = static_cast<size_t>(m_pictures);
    if (n <= want) {
        for (const Thumb& t : m_thumbs) chosen.push_back(&t);
        return chosen;
    }
    for (size_t i = 0; i < want; ++i) {
        size_t at = want == 1 ? 0 : (i * (n - 1) + (want - 1) / 2) / (want - 1);
        chosen.push_back(&m_thumbs[at]);
    }
    return chosen;
}

int ContactSheet::Count() const {
    return static_cast<int>(std::min(m_thumbs.size(), static_cast<size_t>(m_pictures)));
}

Picture ContactSheet::Compose() const {
    std::vector<const Thumb*> chosen = Chosen();
    if (chosen.empty()) return Picture();
    int width = 0, height = 0;
    SheetSize(m_columns, static_cast<int>(chosen.size()), m_thumbWidth, m_thumbHeight, width,
              height);
    Picture sheet(width, height);
    FillRect(sheet, 0, 0, width, height, kBackground);
    std::string sample = FrameTimeText(0);
    int scale = TextWidth(sample, 2) + 8 <= m_thumbWidth ? 2 : 1;
    for (size_t i = 0; i < chosen.size(); ++i) {
        int x = kMargin + static_cast<int>(i % m_columns) * (m_thumbWidth + kMargin);
        int y = kMargin + static_cast<int>(i / m_columns) * (m_thumbHeight + kMargin);
        Picture cell = chosen[i]->picture;
        int labelHeight = kGlyphHeight * scale + 2 * (scale + 1);
        Label(cell, 0, m_thumbHeight - labelHeight, FrameTimeText(chosen[i]->frameTime), scale);
        Label(cell, 0, 0, "#" + std::to_string(chosen[i]->index + 1), 1);
        for (int row = 0; row < m_thumbHeight; ++row)
            std::copy_n(cell.Row(row), m_thumbWidth * 3, sheet.Row(y + row) + x * 3);
    }
    return sheet;
}

}  // namespace play
