// Base64 decoding of arbitrary text, and both directions on arbitrary bytes: whatever decodes
// must encode and decode back to itself, and any bytes must survive a round trip.
#include <cstdlib>
#include <string>

#include "foundation/base64.h"

namespace {

std::string Encode(const std::string& bytes) {
    return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                        static_cast<unsigned>(bytes.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string decoded = Base64Decode(input);
    if (decoded.size() > size * 3 / 4) std::abort();
    if (Base64Decode(Encode(decoded)) != decoded) std::abort();
    const std::string encoded = Encode(input);
    if (encoded.size() != (size + 2) / 3 * 4 || Base64Decode(encoded) != input) std::abort();
    return 0;
}
