#include "foundation/md5.h"

#include <cstring>

namespace Algorithm::Md5 {

const char MD5::HEX[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                           '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};
const uint8_t MD5::PADDING[64] = {0x80};

namespace {

inline uint32_t Rotl(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return (x & y) | (~x & z);
}
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) | (y & ~z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

// Per-step shift amounts and sine constants of RFC 1321, in step order.
constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

}  // namespace

MD5::MD5() {
    reset();
}

MD5::MD5(const void* input, size_t length) : MD5() {
    update(input, length);
}

MD5::MD5(const std::string& text) : MD5() {
    update(text);
}

MD5::MD5(std::ifstream& in) : MD5() {
    update(in);
}

void MD5::reset() {
    finished = false;
    count[0] = count[1] = 0;
    state[0] = 0x67452301;
    state[1] = 0xefcdab89;
    state[2] = 0x98badcfe;
    state[3] = 0x10325476;
    std::memset(buffer, 0, sizeof buffer);
    std::memset(digestBytes, 0, sizeof digestBytes);
}

void MD5::update(const void* input, size_t length) {
    updateBytes(static_cast<const uint8_t*>(input), length);
}

void MD5::update(const std::string& text) {
    update(text.data(), text.size());
}

void MD5::update(std::ifstream& in) {
    if (!in) return;
    char block[1024];
    while (!in.eof()) {
        in.read(block, sizeof block);
        const std::streamsize n = in.gcount();
        if (n > 0) update(block, static_cast<size_t>(n));
        if (n <= 0 && !in.eof()) break;  // a read error: stop rather than spin
    }
    in.close();
}

void MD5::updateBytes(const uint8_t* input, size_t length) {
    finished = false;
    size_t index = (count[0] >> 3) & 0x3f;
    const uint64_t bits =
        (static_cast<uint64_t>(count[1]) << 32 | count[0]) + (static_cast<uint64_t>(length) << 3);
    count[0] = static_cast<uint32_t>(bits);
    count[1] = static_cast<uint32_t>(bits >> 32);
    const size_t partLength = 64 - index;
    size_t i = 0;
    if (length >= partLength) {
        std::memcpy(&buffer[index], input, partLength);
        transform(buffer);
        for (i = partLength; i + 63 < length; i += 64) transform(&input[i]);
        index = 0;
    }
    if (length > i) std::memcpy(&buffer[index], &input[i], length - i);
}

void MD5::final() {
    uint32_t savedState[4], savedCount[2];
    std::memcpy(savedState, state, sizeof state);
    std::memcpy(savedCount, count, sizeof count);
    uint8_t bits[8];
    encode(count, bits, 8);
    const size_t index = (count[0] >> 3) & 0x3f;
    updateBytes(PADDING, index < 56 ? 56 - index : 120 - index);
    updateBytes(bits, 8);
    encode(state, digestBytes, 16);
    std::memcpy(state, savedState, sizeof state);
    std::memcpy(count, savedCount, sizeof count);
}

const uint8_t* MD5::digest() {
    if (!finished) {
        final();
        finished = true;
    }
    return digestBytes;
}

std::string MD5::toString() {
    return bytesToHexString(digest(), 16);
}

void MD5::transform(const uint8_t block[64]) {
    uint32_t x[16];
    decode(block, x, 64);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = F(b, c, d);
            g = i;
        } else if (i < 32) {
            f = G(b, c, d);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = H(b, c, d);
            g = (3 * i + 5) % 16;
        } else {
            f = I(b, c, d);
            g = (7 * i) % 16;
        }
        const uint32_t next = b + Rotl(a + f + kSine[i] + x[g], kShift[i]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void MD5::encode(const uint32_t* input, uint8_t* output, size_t length) {
    for (size_t i = 0, j = 0; j < length; ++i, j += 4) {
        output[j] = static_cast<uint8_t>(input[i]);
        output[j + 1] = static_cast<uint8_t>(input[i] >> 8);
        output[j + 2] = static_cast<uint8_t>(input[i] >> 16);
        output[j + 3] = static_cast<uint8_t>(input[i] >> 24);
    }
}

void MD5::decode(const uint8_t* input, uint32_t* output, size_t length) {
    for (size_t i = 0, j = 0; j < length; ++i, j += 4)
        output[i] = input[j] | (input[j + 1] << 8) | (input[j + 2] << 16) |
                    (static_cast<uint32_t>(input[j + 3]) << 24);
}

std::string MD5::bytesToHexString(const uint8_t* input, size_t length) {
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += HEX[input[i] >> 4];
        out += HEX[input[i] & 0x0f];
    }
    return out;
}

}  // namespace Algorithm::Md5
