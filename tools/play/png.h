// PNG files through libavcodec's PNG encoder and decoder.
#pragma once

#include <string>

#include "picture.h"

namespace play {

// Writes the picture as an RGB PNG; on failure returns false with a reason in error.
bool WritePng(const Picture& picture, const std::string& path, std::string& error);

// Reads a PNG into a BGR picture (any PNG pixel format libavcodec decodes).
bool ReadPng(const std::string& path, Picture& picture, std::string& error);

}  // namespace play
