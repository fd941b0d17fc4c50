// Frame sources of the stand-in libAuvex: the synthetic desktop and raw BGRX
// files. Runs on the thread that waits in WaitforFrameChange.
#include "FrameSource.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace auvex {
namespace {

constexpr uint32_t Rgb(int r, int g, int b) {
  return static_cast<uint32_t>(b) | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(r) << 16;
}

// A clipped drawing surface over BGRX pixels.
struct Canvas {
  uint8_t* base;
  int width;
  int height;
  int pitch;

  uint32_t* Row(int y) const { return reinterpret_cast<uint32_t*>(base + static_cast<size_t>(y) * pitch); }

  void Fill(int x, int y, int w, int h, uint32_t color) const {
    int x0 = std::max(x, 0), y0 = std::max(y, 0);
    int x1 = std::min(x + w, width), y1 = std::min(y + h, height);
    for (int row = y0; row < y1; ++row) std::fill(Row(row) + x0, Row(row) + std::max(x0, x1), color);
  }
  void Frame(int x, int y, int w, int h, uint32_t color) const {
    Fill(x, y, w, 1, color);
    Fill(x, y + h - 1, w, 1, color);
    Fill(x, y, 1, h, color);
    Fill(x + w - 1, y, 1, h, color);
  }
};

// Deterministic pseudo-random numbers, so that every run draws the same text.
struct Lcg {
  uint32_t state;
  uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
  }
};

// Lines of "words": short dark bars of a glyph's height with gaps between
// them, which compress like text. `typed` limits how many words of the last
// line appear (-1: all).
void DrawText(const Canvas& c, int x, int y, int w, int h, uint32_t seed, int lineHeight, uint32_t color,
              int lastLineWords) {
  Lcg rng{seed};
  int glyph = std::max(lineHeight / 2, 1);
  int lines = h / lineHeight;
  for (int line = 0; line < lines; ++line) {
    int cx = x;
    int right = x + w - (rng.Next() % 5) * glyph * 2;
    int words = 0;
    bool last = line == lines - 1;
    while (cx < right) {
      int len = static_cast<int>(2 + rng.Next() % 9) * std::max(glyph * 2 / 3, 1);
      if (cx + len > right) break;
      if (last && lastLineWords >= 0 && words >= lastLineWords) break;
      // A word is a row of letters: bars with one-pixel gaps.
      for (int lx = cx; lx < cx + len; lx += std::max(glyph * 2 / 3, 2)) {
        int tall = (rng.Next() % 4 == 0) ? glyph + glyph / 2 : glyph;
        c.Fill(lx, y + line * lineHeight + (glyph + glyph / 2 - tall), std::max(glyph * 2 / 3 - 1, 1), tall, color);
      }
      cx += len + glyph;
      ++words;
    }
  }
}

void DrawWindow(const Canvas& c, int x, int y, int w, int h, uint32_t titleColor, uint32_t seed, int scale,
                int typedWords) {
  int title = std::max(scale * 3, 3);
  c.Fill(x + scale, y + scale, w, h, Rgb(40, 40, 50));  // shadow
  c.Fill(x, y, w, h, Rgb(250, 250, 248));
  c.Fill(x, y, w, title, titleColor);
  c.Frame(x, y, w, h, Rgb(90, 90, 100));
  // Title text and the three buttons at the right of the title bar.
  DrawText(c, x + scale * 2, y + title / 4, std::min(w / 3, w - scale * 4), title, seed ^ 0x55u, title,
           Rgb(255, 255, 255), -1);
  for (int i = 0; i < 3; ++i)
    c.Fill(x + w - (i + 1) * title * 3 / 2, y + title / 4, title, title / 2,
           i == 0 ? Rgb(220, 60, 50) : Rgb(200, 200, 210));
  // Menu bar, then the document.
  c.Fill(x + 1, y + title, w - 2, std::max(scale * 2, 2), Rgb(236, 236, 240));
  int top = y + title + std::max(scale * 3, 3);
  DrawText(c, x + scale * 3, top, w - scale * 6, y + h - top - scale * 2, seed, std::max(scale * 2, 2), Rgb(30, 30, 40),
           typedWords);
}

}  // namespace

void SyntheticDesktop::FrameSize(int modeWidth, int modeHeight, int* pWidth, int* pHeight) const {
  *pWidth = modeWidth;
  *pHeight = modeHeight;
}

void SyntheticDesktop::BuildBackground(int width, int height) {
  m_background.assign(static_cast<size_t>(width) * height, 0);
  m_bgWidth = width;
  m_bgHeight = height;
  Canvas c{reinterpret_cast<uint8_t*>(m_background.data()), width, height, width * 4};
  // Wallpaper: a vertical gradient from deep blue to teal.
  for (int y = 0; y < height; ++y) {
    int t = height > 1 ? y * 255 / (height - 1) : 0;
    c.Fill(0, y, width, 1, Rgb(20 + t / 8, 60 + t / 3, 120 + t / 4));
  }
  int scale = std::max(std::min(width, height) / 120, 1);
  // Desktop icons with their labels down the left edge.
  int icon = scale * 6;
  for (int i = 0; i < 5; ++i) {
    int ix = scale * 3, iy = scale * 3 + i * icon * 2;
    c.Fill(ix, iy, icon, icon, i % 2 ? Rgb(240, 200, 60) : Rgb(200, 220, 250));
    c.Frame(ix, iy, icon, icon, Rgb(60, 60, 60));
    DrawText(c, ix - scale, iy + icon + scale, icon + scale * 2, scale * 2, 77u + i, scale * 2, Rgb(255, 255, 255), -1);
  }
  // Taskbar with a start button and a few task buttons.
  int bar = std::max(scale * 5, 4);
  c.Fill(0, height - bar, width, bar, Rgb(32, 36, 48));
  c.Fill(scale, height - bar + scale, bar * 2, bar - 2 * scale, Rgb(40, 120, 200));
  for (int i = 0; i < 3; ++i) {
    int bx = bar * 3 + i * bar * 5;
    c.Fill(bx, height - bar + scale, bar * 4, bar - 2 * scale, Rgb(60, 66, 84));
    DrawText(c, bx + scale, height - bar + bar / 3, bar * 3, bar / 2, 900u + i, std::max(bar / 2, 1),
             Rgb(230, 230, 230), -1);
  }
}

void SyntheticDesktop::Render(uint64_t index, int width, int height, int pitch, uint8_t* dst) {
  if (width != m_bgWidth || height != m_bgHeight) BuildBackground(width, height);
  for (int y = 0; y < height; ++y)
    std::memcpy(dst + static_cast<size_t>(y) * pitch, &m_background[static_cast<size_t>(y) * width],
                static_cast<size_t>(width) * 4);
  Canvas c{dst, width, height, pitch};
  int scale = std::max(std::min(width, height) / 120, 1);
  int bar = std::max(scale * 5, 4);
  uint32_t frame = static_cast<uint32_t>(index);

  // An editor that fills with text, one word per frame, then starts over.
  int typed = static_cast<int>(frame % 40);
  DrawWindow(c, width / 12, height / 10, width / 2, height / 2, Rgb(40, 90, 170), 1234u, scale, typed);
  // A second window sliding left and right over the first.
  int span = std::max(width - width * 2 / 5 - width / 6, 1);
  int phase = static_cast<int>((frame * static_cast<uint32_t>(std::max(scale * 2, 1))) % (2u * span));
  int wx = width / 6 + (phase < span ? phase : 2 * span - phase) - span / 4;
  DrawWindow(c, wx, height * 2 / 5, width * 2 / 5, height * 2 / 5, Rgb(160, 60, 120), 4321u, scale, -1);

  // A clock in the taskbar: the frame number as bars of four binary digits.
  int cx = width - bar * 6;
  for (int bit = 0; bit < 16; ++bit) {
    uint32_t on = (frame >> (15 - bit)) & 1u;
    c.Fill(cx + bit * std::max(bar / 3, 1), height - bar + scale, std::max(bar / 3 - 1, 1), bar - 2 * scale,
           on ? Rgb(250, 250, 250) : Rgb(70, 74, 90));
  }

  // The mouse pointer on a slow Lissajous path.
  int px = static_cast<int>((frame * 7u) % static_cast<uint32_t>(std::max(width, 1)));
  int py =
      static_cast<int>((frame * 5u + static_cast<uint32_t>(height) / 3) % static_cast<uint32_t>(std::max(height, 1)));
  int arrow = scale * 6;
  for (int row = 0; row < arrow; ++row) {
    c.Fill(px, py + row, row / 2 + 1, 1, Rgb(255, 255, 255));
    c.Fill(px + row / 2 + 1, py + row, 1, 1, Rgb(0, 0, 0));
  }
  c.Fill(px, py + arrow, arrow / 2 + 2, 1, Rgb(0, 0, 0));
}

std::unique_ptr<RawFileFrames> RawFileFrames::Load(const std::vector<std::string>& paths, int width, int height,
                                                   std::string* pError) {
  if (paths.empty() || width <= 0 || height <= 0 || width > kMaxModeSide || height > kMaxModeSide) {
    *pError = "no files or a bad frame size";
    return nullptr;
  }
  auto source = std::unique_ptr<RawFileFrames>(new RawFileFrames());
  source->m_width = width;
  source->m_height = height;
  const size_t expected = static_cast<size_t>(width) * height * 4;
  for (const std::string& path : paths) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
      *pError = "cannot open " + path;
      return nullptr;
    }
    std::vector<uint8_t> bytes(expected);
    size_t got = std::fread(bytes.data(), 1, expected, f);
    bool extra = std::fgetc(f) != EOF;
    std::fclose(f);
    if (got != expected || extra) {
      *pError = path + " does not hold exactly one frame of that size";
      return nullptr;
    }
    source->m_frames.push_back(std::move(bytes));
  }
  return source;
}

void RawFileFrames::FrameSize(int, int, int* pWidth, int* pHeight) const {
  *pWidth = m_width;
  *pHeight = m_height;
}

void RawFileFrames::Render(uint64_t index, int width, int height, int pitch, uint8_t* dst) {
  const std::vector<uint8_t>& src = m_frames[index % m_frames.size()];
  int rows = std::min(height, m_height);
  size_t rowBytes = static_cast<size_t>(std::min(width, m_width)) * 4;
  for (int y = 0; y < rows; ++y)
    std::memcpy(dst + static_cast<size_t>(y) * pitch, &src[static_cast<size_t>(y) * m_width * 4], rowBytes);
}

}  // namespace auvex
