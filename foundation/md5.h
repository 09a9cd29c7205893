// Incremental MD5 (RFC 1321) with lower-case hexadecimal output.
#pragma once
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace Algorithm::Md5 {

class MD5 {
public:
    MD5();
    MD5(const void* input, size_t length);
    explicit MD5(const std::string& text);
    explicit MD5(std::ifstream& in);

    void update(const void* input, size_t length);
    void update(const std::string& text);
    // Reads blocks of 1024 bytes to the end of the stream, then closes it.
    void update(std::ifstream& in);
    // One message, one digest: computed once, then returned as stored until reset.
    const uint8_t* digest();
    std::string toString();
    void reset();

    static const char HEX[16];
    static const uint8_t PADDING[64];

private:
    void updateBytes(const uint8_t* input, size_t length);
    void final();
    void transform(const uint8_t block[64]);
    static void encode(const uint32_t* input, uint8_t* output, size_t length);
    static void decode(const uint8_t* input, uint32_t* output, size_t length);
    static std::string bytesToHexString(const uint8_t* input, size_t length);

    uint32_t state[4];
    uint32_t count[2];
    uint8_t buffer[64];
    uint8_t digestBytes[16];
    bool finished;
};

}  // namespace Algorithm::Md5
