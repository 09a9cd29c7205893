// Base64 with the standard alphabet, "=" padding and no line breaks.
#pragma once
#include <string>

std::string Base64Encode(const unsigned char* data, unsigned int length);
// Stops silently at the first "=" or non-digit; a final group of 2 or 3 digits gives 1 or 2
// bytes, a single leftover digit none.
std::string Base64Decode(const std::string& text);
bool IsBase64Digit(unsigned char c);
