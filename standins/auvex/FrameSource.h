// Frame sources of the stand-in libAuvex: where the pixels of each delivered
// frame come from. A source is rendered on the thread that is inside
// WaitforFrameChange, outside the monitor's lock; it is immutable once built
// except for its own caches, so one source is rendered by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace auvex {

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Size of frame `index` when the monitor's mode is modeWidth x modeHeight.
  virtual void FrameSize(int modeWidth, int modeHeight, int* pWidth, int* pHeight) const = 0;
  // Renders frame `index` at width x height into `dst`, rows `pitch` bytes
  // apart (pitch >= 4 * width), BGRX.
  virtual void Render(uint64_t index, int width, int height, int pitch, uint8_t* dst) = 0;
};

// A desktop-like picture: wallpaper, icons, a taskbar with a running clock,
// two windows full of text-like marks, one of them sliding to and fro, a
// line being typed and a mouse pointer travelling across the screen. Every
// frame differs from the one before.
class SyntheticDesktop final : public FrameSource {
 public:
  void FrameSize(int modeWidth, int modeHeight, int* pWidth, int* pHeight) const override;
  void Render(uint64_t index, int width, int height, int pitch, uint8_t* dst) override;

 private:
  void BuildBackground(int width, int height);

  std::vector<uint32_t> m_background;  // wallpaper, icons and taskbar, width * height
  int m_bgWidth = 0;
  int m_bgHeight = 0;
};

// Raw BGRX frames read from files (rows of 4 * width bytes, no header),
// delivered in order and cycled.
class RawFileFrames final : public FrameSource {
 public:
  // Null with `*pError` set when a file cannot be read or its size is not
  // width * height * 4.
  static std::unique_ptr<RawFileFrames> Load(const std::vector<std::string>& paths, int width, int height,
                                             std::string* pError);

  void FrameSize(int modeWidth, int modeHeight, int* pWidth, int* pHeight) const override;
  void Render(uint64_t index, int width, int height, int pitch, uint8_t* dst) override;

 private:
  std::vector<std::vector<uint8_t>> m_frames;
  int m_width = 0;
  int m_height = 0;
};

// Largest mode side the stand-in accepts.
constexpr int kMaxModeSide = 8192;

}  // namespace auvex
