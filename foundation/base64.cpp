#include "foundation/base64.h"

#include <cctype>

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

unsigned char DigitValue(unsigned char c) {
    return static_cast<unsigned char>(kAlphabet.find(static_cast<char>(c)));
}

}  // namespace

bool IsBase64Digit(unsigned char c) {
    return std::isalnum(c) || c == '+' || c == '/';
}

std::string Base64Encode(const unsigned char* data, unsigned int length) {
    std::string out;
    out.reserve((length + 2) / 3 * 4);
    unsigned int i = 0;
    for (; i + 3 <= length; i += 3) {
        const unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (const unsigned rest = length - i; rest > 0) {
        const unsigned v = (data[i] << 16) | (rest == 2 ? data[i + 1] << 8 : 0);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string Base64Decode(const std::string& text) {
    std::string out;
    unsigned char group[4];
    int n = 0;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '=' || !IsBase64Digit(c)) break;
        group[n++] = DigitValue(c);
        if (n == 4) {
            out += static_cast<char>((group[0] << 2) | (group[1] >> 4));
            out += static_cast<char>((group[1] << 4) | (group[2] >> 2));
            out += static_cast<char>((group[2] << 6) | group[3]);
            n = 0;
        }
    }
    if (n >= 2) {
        for (int k = n; k < 4; ++k) group[k] = 0;
        out += static_cast<char>((group[0] << 2) | (group[1] >> 4));
        if (n == 3) out += static_cast<char>((group[1] << 4) | (group[2] >> 2));
    }
    return out;
}
