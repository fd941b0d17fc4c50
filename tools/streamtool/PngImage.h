// Reading and writing 8-bit PNG pictures as BGRX frames (libpng).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace streamtool {

struct BgrxImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;  // 4 bytes a pixel, rows of exactly 4 * width bytes
  int Pitch() const { return 4 * width; }
};

// Loads any 8-bit PNG (grey, RGB, with or without alpha; palettes expanded).
bool ReadPng(const std::string& path, BgrxImage& image, std::string& error);
bool WritePng(const std::string& path, const BgrxImage& image, std::string& error);

}  // namespace streamtool
