// The frame encoder: turns one BGRX frame into the device's frame stream of
// 32 x 8 strips, each a self-contained baseline-JPEG entropy-coded segment
// (4:4:4, standard Huffman tables, quality 90) behind a 32-bit strip header,
// the whole frame padded to a multiple of 128 bytes.
//
// One encoder belongs to one device and is used on that device's frame
// thread only; no operation takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "EncoderKernels.h"

namespace jpeg {

struct CustomJpegState;
struct KeptStrip;

class CustomJpeg {
 public:
  // Largest frame side the encoder accepts; keeps every size computation,
  // and the output bound, inside 32 bits.
  static constexpr int kMaxDimension = 16384;
  // A strip header counts at most 256 words of padded data.
  static constexpr uint32_t kMaxPaddedStripLength = 1024;

  CustomJpeg();
  ~CustomJpeg();
  CustomJpeg(const CustomJpeg&) = delete;
  CustomJpeg& operator=(const CustomJpeg&) = delete;

  // Records the frame size and allocates the strip buffers. False when the
  // size is outside 1 .. kMaxDimension or an allocation fails. Also tries to
  // allocate the previous-frame store (see Encode); without it the encoder
  // works as well, only without frame-to-frame reuse.
  bool Init(int32_t width, int32_t height);
  // Records a new size and replaces the strip buffers; starts afresh.
  bool Resize(int32_t width, int32_t height);

  // Encodes the frame at `pixels` (rows `pitch` bytes apart) into `out`,
  // which must hold MaxEncodedSize() bytes. Returns the bytes written: a
  // multiple of 128, at least 128; the rest of `out` may be overwritten.
  // Returns 0, writing nothing, when the encoder has no size yet, a pointer
  // is null or pitch < 4.
  //
  // Reads stay inside height rows of `pitch` bytes: rows past the frame's
  // height repeat its last row; when a row of `pitch` bytes does not hold
  // the aligned width, columns it does not hold repeat the last real column.
  //
  // Frames of one size and pitch in a row: a strip whose pixels equal those
  // of the same strip in the previous frame takes its coded bytes from that
  // frame, provided the encoder kept that frame's strip whole. It keeps a
  // strip whole after a frame that showed it unchanged, or after a fresh
  // start; a strip that just changed (video, scrolling) keeps four of its
  // pixels only, so complete changes cost no copy of the frame. A strip that
  // stops changing is reused from the second frame that shows it unchanged. The
  // output is byte for byte that of a fresh encoder.
  uint32_t Encode(const uint8_t* pixels, int32_t pitch, uint8_t* out);

  // Makes the next Encode code every strip afresh (as after Init).
  void ForgetPreviousFrame() { m_previousPitch = 0; }
  // Strips the last Encode took from the frame before it.
  uint32_t LastFrameReusedStrips() const { return m_lastReusedStrips; }

  // True when the previous-frame store is allocated (Init, Resize).
  bool CanReusePreviousFrame() const { return m_pPreviousFrame != nullptr; }

  // The most bytes Encode can write for the current size, plus the one
  // extra byte the USB write sends after a frame. 0 before Init.
  uint32_t MaxEncodedSize() const;

  // Quantisation table 0 (luminance) or 1 (chrominance), zig-zag order.
  const uint8_t* GetQuantTable(int index) const;

  int32_t AlignedWidth() const { return m_alignedWidth; }
  int32_t AlignedHeight() const { return m_alignedHeight; }

  // Kernel set used by this encoder (the processor's best by default). False,
  // keeping the current set, when the processor cannot run `set`.
  bool SetKernelSet(KernelSet set);
  KernelSet GetKernelSet() const { return m_kernels->set; }

  // Tests only: a lower strip limit (at most kMaxPaddedStripLength), to
  // exercise the re-coding of strips that would not fit a strip header.
  void SetMaxPaddedStripLengthForTesting(uint32_t bytes);

 private:
  bool AllocateStripBuffers();
  void ReleaseStripBuffers();
  bool RecordSize(int32_t width, int32_t height);
  void LoadStripRows(const uint8_t* const* rows, int strip, const uint8_t** stripRows);
  uint32_t CodeStrip(const StripBlocks& blocks, int lastAcIndex, uint8_t* data);
  uint32_t CodeStripToFit(const StripBlocks& blocks, uint8_t* data);
  void AllocatePreviousFrame();
  void ReleasePreviousFrame();

  uint8_t* m_pYccBuffer = nullptr;    // 768 bytes: Y, Cb, Cr planes of 32 x 8
  uint8_t* m_pStripBuffer = nullptr;  // 4 bytes kept for a header, then a strip's coded data
  CustomJpegState* m_pState = nullptr;
  int32_t m_alignedWidth = 0;
  int32_t m_alignedHeight = 0;
  int32_t m_width = 0;
  int32_t m_height = 0;
  int32_t m_heldColumns = 0;  // columns the current frame's rows hold (Encode only)
  const EncoderKernels* m_kernels;
  // Previous-frame store, one block for the whole frame: per strip its 8
  // rows of 32 pixels as last transformed (1024 bytes; unused for a strip of
  // one colour), then per strip its padded coded data in a slot of
  // kMaxPaddedStripLength bytes, then per strip a KeptStrip (24 bytes): about
  // twice the aligned frame's pixel bytes. Null when it could not be allocated.
  uint8_t* m_pPreviousFrame = nullptr;
  KeptStrip* m_pKeptStrips = nullptr;
  int32_t m_previousPitch = 0;     // pitch of the frame it holds; 0 when it holds none
  uint32_t m_lastReusedStrips = 0;
  uint32_t m_maxPaddedStripLength = kMaxPaddedStripLength;
};

}  // namespace jpeg
