#include "CustomJpeg.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "CustomJpegState.h"
#include "EntropyCoder.h"
#include "JpegTables.h"

namespace jpeg {

namespace {

constexpr int kStripWidth = 32;
constexpr int kStripHeight = 8;
constexpr size_t kPlaneBytes = kStripWidth * kStripHeight;  // 256
constexpr size_t kYccBufferBytes = 3 * kPlaneBytes;         // 768

// Worst case of one strip's coded data, with every code at its longest:
//   per block   DC: 11-bit code (chrominance category 11) + 11 value bits = 22
//               AC: 63 coefficients x (16-bit code + 10 value bits)     = 1638
//               (an EOB is only sent when index 63 is zero, i.e. with at
//               most 62 coefficients; ZRLs replace 16 zeros by 11 bits)
//   per strip   12 blocks x 1660 bits = 19920 bits = 2490 bytes
//   stuffing    at most one 0x00 after every byte            -> 4980 bytes
//   EOI, filler 0xFF 0xD9 and up to 3 bytes to a multiple of 4 -> 4984 bytes
//               (also room for the 4 bytes the coder may store ahead of
//               its code, which start at most at byte 4980)
// plus the 4-byte strip header, rounded up to 16 bytes.
constexpr size_t kStripHeaderBytes = 4;
constexpr size_t kMaxStripDataBytes = 4984;
constexpr size_t kStripBufferBytes = (kStripHeaderBytes + kMaxStripDataBytes + 15) & ~size_t{15};

// Previous-frame store, per strip: its pixels as transformed (8 rows of 32
// BGRX pixels), its coded data slot (kMaxPaddedStripLength bytes, the most a
// strip can hold after re-coding) and a KeptStrip. Fixed slots let a changed
// strip replace its own code in place, whatever its length. Together about
// twice the aligned frame's pixel bytes.
constexpr size_t kStripPixelBytes = 4 * kStripWidth * kStripHeight;  // 1024
constexpr size_t kSlotBytes = CustomJpeg::kMaxPaddedStripLength;
constexpr size_t kPreviousBytesPerStrip = kStripPixelBytes + kSlotBytes + sizeof(KeptStrip);
static_assert(kSlotBytes % 16 == 0 && kSlotBytes <= 0xFFFF, "slots stay aligned; lengths fit");

constexpr uint32_t kHeaderConstantBits = 0xD0000001;
constexpr uint32_t kHeaderLastStripBit = 0x08000000;

// End padding word, in stream byte order.
constexpr uint8_t kEndPadding[4] = {0xFF, 0xD9, 0xFF, 0xFF};

uint8_t* AllocateAligned(size_t bytes) {
  return static_cast<uint8_t*>(::operator new (bytes, std::align_val_t{16}, std::nothrow));
}

void FreeAligned(void* p) {
  if (p != nullptr) ::operator delete (p, std::align_val_t{16});
}

// The pixels of a strip that TakeProbe keeps, (row, column) pairs spread over
// its rows and columns: a picture that changes everywhere (video, a scrolled
// page) shows it in them.
constexpr int kProbePixels[4][2] = {{1, 3}, {3, 27}, {5, 11}, {7, 19}};

void TakeProbe(const uint8_t* const* rows, KeptStrip& kept) {
  for (int i = 0; i < 4; ++i) std::memcpy(&kept.probe[i], rows[kProbePixels[i][0]] + 4 * kProbePixels[i][1], 4);
}

// False when the strip certainly differs from the one whose probe was kept.
bool ProbeUnchanged(const uint8_t* const* rows, const KeptStrip& kept) {
  uint32_t differs = 0;
  for (int i = 0; i < 4; ++i) {
    uint32_t pixel;
    std::memcpy(&pixel, rows[kProbePixels[i][0]] + 4 * kProbePixels[i][1], 4);
    differs |= pixel ^ kept.probe[i];
  }
  return differs == 0;
}

void StoreLittleEndian32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

CustomJpeg::CustomJpeg() : m_kernels(&ActiveKernels()) {
  void* raw = ::operator new (sizeof(CustomJpegState), std::align_val_t{alignof(CustomJpegState)}, std::nothrow);
  if (raw == nullptr) return;  // Init reports it: nothing works without the state
  m_pState = new (raw) CustomJpegState();
  CustomJpegState& state = *m_pState;

  GetStandardCodeTables();

  for (int i = 0; i < 64; ++i) {
    state.quantTable0[kNaturalToZigZag[i]] = ScaleQuantValue(kLuminanceBaseTable[i]);
    state.quantTable1[kNaturalToZigZag[i]] = ScaleQuantValue(kChrominanceBaseTable[i]);
  }
  for (int i = 0; i < 64; ++i) {
    MakeDivisor(DivisorFor(state.quantTable0[kNaturalToZigZag[i]], i), state.luminanceDivisors, i);
    MakeDivisor(DivisorFor(state.quantTable1[kNaturalToZigZag[i]], i), state.chrominanceDivisors, i);
  }
  state.stripWidth = kStripWidth;
  state.stripHeight = kStripHeight;
}

CustomJpeg::~CustomJpeg() {
  ReleaseStripBuffers();
  ReleasePreviousFrame();
  if (m_pState != nullptr) {
    m_pState->~CustomJpegState();
    ::operator delete (m_pState, std::align_val_t{alignof(CustomJpegState)});
    m_pState = nullptr;
  }
}

bool CustomJpeg::RecordSize(int32_t width, int32_t height) {
  if (m_pState == nullptr) return false;
  if (width < 1 || height < 1 || width > kMaxDimension || height > kMaxDimension) return false;
  m_width = width;
  m_height = height;
  m_alignedWidth = (width + 31) & ~31;
  m_alignedHeight = (height + 7) & ~7;
  return true;
}

bool CustomJpeg::AllocateStripBuffers() {
  if (m_pYccBuffer == nullptr) m_pYccBuffer = AllocateAligned(kYccBufferBytes);
  if (m_pYccBuffer == nullptr) return false;
  if (m_pStripBuffer == nullptr) m_pStripBuffer = AllocateAligned(kStripBufferBytes);
  if (m_pStripBuffer == nullptr) return false;
  std::memset(m_pYccBuffer, 0, kYccBufferBytes);
  std::memset(m_pStripBuffer, 0, kStripBufferBytes);
  m_pState->yPlane = m_pYccBuffer;
  m_pState->cbPlane = m_pYccBuffer + kPlaneBytes;
  m_pState->crPlane = m_pYccBuffer + 2 * kPlaneBytes;
  m_pState->output = m_pStripBuffer + kStripHeaderBytes;
  m_pState->outputLength = 0;
  return true;
}

// The store is an optimisation: when it cannot be had (very large frames in
// a 32-bit process), the encoder codes every strip as before.
void CustomJpeg::AllocatePreviousFrame() {
  ReleasePreviousFrame();
  // At most 512 x 2048 strips of 2056 bytes: below 2^32, so size_t holds it.
  const size_t strips = static_cast<size_t>(m_alignedWidth / kStripWidth) * (m_alignedHeight / kStripHeight);
  m_pPreviousFrame = AllocateAligned(strips * kPreviousBytesPerStrip);
  if (m_pPreviousFrame != nullptr)
    m_pKeptStrips = reinterpret_cast<KeptStrip*>(m_pPreviousFrame + strips * (kStripPixelBytes + kSlotBytes));
}

void CustomJpeg::ReleasePreviousFrame() {
  FreeAligned(m_pPreviousFrame);
  m_pPreviousFrame = nullptr;
  m_pKeptStrips = nullptr;
  ForgetPreviousFrame();
}

void CustomJpeg::ReleaseStripBuffers() {
  FreeAligned(m_pYccBuffer);
  FreeAligned(m_pStripBuffer);
  m_pYccBuffer = nullptr;
  m_pStripBuffer = nullptr;
}

bool CustomJpeg::Init(int32_t width, int32_t height) {
  if (!RecordSize(width, height)) return false;
  AllocatePreviousFrame();
  return AllocateStripBuffers();
}

bool CustomJpeg::Resize(int32_t width, int32_t height) {
  if (!RecordSize(width, height)) return false;
  ReleaseStripBuffers();
  AllocatePreviousFrame();
  return AllocateStripBuffers();
}

bool CustomJpeg::SetKernelSet(KernelSet set) {
  if (!IsKernelSetSupported(set)) return false;  // keep the current set
  m_kernels = &KernelsFor(set);
  // Every set gives the same bytes; starting afresh keeps a set's output
  // its own all the same.
  ForgetPreviousFrame();
  return true;
}

void CustomJpeg::SetMaxPaddedStripLengthForTesting(uint32_t bytes) {
  m_maxPaddedStripLength = std::min(bytes, kMaxPaddedStripLength);  // a slot holds no more
  ForgetPreviousFrame();
}

const uint8_t* CustomJpeg::GetQuantTable(int index) const {
  if (m_pState == nullptr || (index != 0 && index != 1)) return nullptr;
  return index == 0 ? m_pState->quantTable0 : m_pState->quantTable1;
}

uint32_t CustomJpeg::MaxEncodedSize() const {
  if (m_alignedWidth == 0) return 0;
  // Every strip record is at most 4 + 1024 bytes (longer strips are re-coded
  // to fit); the end padding adds 4 .. 128 bytes; the USB write sends one
  // byte more than the frame. With kMaxDimension this stays below 2^31.
  const uint32_t strips = static_cast<uint32_t>(m_alignedWidth / kStripWidth) * (m_alignedHeight / kStripHeight);
  return strips * (kStripHeaderBytes + kMaxPaddedStripLength) + 128 + 1;
}

void CustomJpeg::LoadStripRows(const uint8_t* const* rows, int strip, const uint8_t** stripRows) {
  const int firstColumn = strip * kStripWidth;
  if (firstColumn + kStripWidth <= m_heldColumns) {
    for (int r = 0; r < kStripHeight; ++r) stripRows[r] = rows[r] + 4 * firstColumn;
    return;
  }
  // The rows do not hold this whole strip: repeat the last real column.
  const int lastReal = std::min(m_width, m_heldColumns) - 1;
  for (int r = 0; r < kStripHeight; ++r) {
    uint8_t* edge = m_pState->edgeRows[r];
    for (int c = 0; c < kStripWidth; ++c) {
      const int column = firstColumn + c < m_heldColumns ? firstColumn + c : lastReal;
      std::memcpy(edge + 4 * c, rows[r] + 4 * column, 4);
    }
    stripRows[r] = edge;
  }
}

// Codes the strip's transformed blocks at `data`, which has room for
// kMaxStripDataBytes; returns its padded length.
uint32_t CustomJpeg::CodeStrip(const StripBlocks& blocks, int lastAcIndex, uint8_t* data) {
  CustomJpegState& state = *m_pState;
  state.output = data;
  state.outputLength = 0;
  state.bitBuffer = 0;
  state.bitCount = 0;
  m_kernels->encodeStripBlocks(state, blocks, lastAcIndex);
  FlushBits(state);
  state.output[state.outputLength++] = 0xFF;
  state.output[state.outputLength++] = 0xD9;
  while (state.outputLength % 4 != 0) state.output[state.outputLength++] = 0;  // filler
  return static_cast<uint32_t>(state.outputLength);
}

// A strip header counts at most m_maxPaddedStripLength bytes: drop the
// highest zig-zag positions until the strip fits (the blocks stay as they
// are; the coder skips those positions). Natural content never gets here;
// the DC-only strip always fits. Returns the padded length.
uint32_t CustomJpeg::CodeStripToFit(const StripBlocks& blocks, uint8_t* data) {
  uint32_t padded = CodeStrip(blocks, 63, data);
  for (int lastAc = 62; padded > m_maxPaddedStripLength && lastAc >= 0; --lastAc) {
    padded = CodeStrip(blocks, lastAc, data);
  }
  return padded;
}

uint32_t CustomJpeg::Encode(const uint8_t* pixels, int32_t pitch, uint8_t* out) {
  if (m_pState == nullptr || m_pStripBuffer == nullptr || pixels == nullptr || out == nullptr || pitch < 4) {
    return 0;
  }
  CustomJpegState& state = *m_pState;
  const EncoderKernels& kernels = *m_kernels;
  const int stripsPerBand = m_alignedWidth / kStripWidth;
  const int bands = m_alignedHeight / kStripHeight;
  // Rows that hold the aligned width are read as they are; otherwise only the
  // columns the pitch holds are read.
  m_heldColumns = pitch / 4 >= m_alignedWidth ? m_alignedWidth : pitch / 4;
  // `out` holds this much: strips are coded in place while the longest
  // code fits before its end.
  const uint32_t bound = MaxEncodedSize();

  // A frame of the size and pitch of the previous one may take an unchanged
  // strip's coded bytes from it: the strip's pixels as transformed (edge
  // repeats included) are the same, so its coefficients and its code are too.
  uint8_t* const keptPixels = m_pPreviousFrame;
  const bool reuseFrame = keptPixels != nullptr && m_previousPitch == pitch;
  uint8_t* const keptCode =
      keptPixels != nullptr ? keptPixels + static_cast<size_t>(stripsPerBand) * bands * kStripPixelBytes : nullptr;
  m_previousPitch = 0;  // until the store holds this whole frame

  uint32_t total = 0;
  uint32_t sequence = 0;
  uint32_t reused = 0;
  // Desktop frames repeat strips (backgrounds, window fills): a strip whose
  // coefficients equal the previous strip's reuses its coded bytes, already
  // in `out`, instead of coding them again. Only a strip transformed in this
  // frame leaves coefficients to compare with.
  int current = 0;
  bool havePreviousBlocks = false;
  uint32_t previousData = 0;    // offset in `out` of the previous strip's data
  uint32_t previousPadded = 0;  // and its padded length
  for (int band = 0; band < bands; ++band) {
    const uint8_t* rows[kStripHeight];
    for (int r = 0; r < kStripHeight; ++r) {
      const int y = std::min(band * kStripHeight + r, m_height - 1);
      rows[r] = pixels + static_cast<ptrdiff_t>(y) * pitch;
    }
    for (int strip = 0; strip < stripsPerBand; ++strip) {
      const uint8_t* stripRows[kStripHeight];
      LoadStripRows(rows, strip, stripRows);
      uint8_t* const record = out + total;
      uint8_t* const data = record + kStripHeaderBytes;
      const size_t index = static_cast<size_t>(sequence);
      uint32_t padded;
      KeptStrip* const kept = keptPixels != nullptr ? &m_pKeptStrips[index] : nullptr;
      uint8_t* const keptStripPixels = kept != nullptr ? keptPixels + index * kStripPixelBytes : nullptr;
      if (reuseFrame && kept->mode != KeptStrip::kProbe &&
          (kept->mode == KeptStrip::kFlat ? kernels.flatStripPixels(stripRows, kept->pixel)
                                          : kernels.sameStripPixels(stripRows, keptStripPixels))) {
        padded = kept->padded;
        kernels.copyStripData(data, keptCode + index * kSlotBytes, padded);
        havePreviousBlocks = false;
        ++reused;
      } else {
        // The strip is kept whole only where the next frame is likely to
        // show it again: after a fresh start, and where its probe shows it
        // unchanged since the frame before. A strip that changed keeps its
        // probe alone, so a run of complete changes copies no pixels.
        const bool keepWhole =
            kept != nullptr && (!reuseFrame || (kept->mode == KeptStrip::kProbe && ProbeUnchanged(stripRows, *kept)));
        if (keepWhole) {
          // A strip of one colour (backgrounds, window fills) keeps that
          // colour instead of its pixels: less to write now, and less to
          // read when the next frame is compared with it.
          std::memcpy(&kept->pixel, stripRows[0], 4);
          kept->mode = kernels.flatStripPixels(stripRows, kept->pixel) ? KeptStrip::kFlat : KeptStrip::kPixels;
          if (kept->mode == KeptStrip::kPixels) kernels.keepStripPixels(stripRows, keptStripPixels);
        } else if (kept != nullptr) {
          TakeProbe(stripRows, *kept);
          kept->mode = KeptStrip::kProbe;
        }
        // Conversion, level shift, DCT and quantisation of the whole strip.
        StripBlocks& blocks = state.stripBlocks[current];
        kernels.transformStrip(stripRows, state.luminanceDivisors, state.chrominanceDivisors, m_pYccBuffer, blocks);
        if (havePreviousBlocks && kernels.sameStripBlocks(blocks, state.stripBlocks[current ^ 1])) {
          padded = previousPadded;
          kernels.copyStripData(data, out + previousData, padded);
        } else if (total + kStripHeaderBytes + kMaxStripDataBytes <= bound) {
          padded = CodeStripToFit(blocks, data);
        } else {
          // Too near the end of `out` for the longest code: code it aside.
          padded = CodeStripToFit(blocks, m_pStripBuffer + kStripHeaderBytes);
          kernels.copyStripData(data, m_pStripBuffer + kStripHeaderBytes, padded);
        }
        if (keepWhole) {
          kernels.copyStripData(keptCode + index * kSlotBytes, data, padded);
          kept->padded = static_cast<uint16_t>(padded);
        }
        havePreviousBlocks = true;
        current ^= 1;
      }

      uint32_t header = kHeaderConstantBits | (sequence & 0xFFFF) << 10 | ((padded / 4 - 1) & 0xFF) << 2;
      if (band == bands - 1 && strip == stripsPerBand - 1) header |= kHeaderLastStripBit;
      StoreLittleEndian32(record, header);
      ++sequence;

      previousData = total + static_cast<uint32_t>(kStripHeaderBytes);
      previousPadded = padded;
      total += static_cast<uint32_t>(kStripHeaderBytes + padded);
    }
  }
  if (keptPixels != nullptr) {
    kernels.finishKeptPixels();  // the kept pixels are stored before anything reads them
    m_previousPitch = pitch;
  }
  m_lastReusedStrips = reused;

  do {
    std::memcpy(out + total, kEndPadding, sizeof kEndPadding);
    total += sizeof kEndPadding;
  } while (total % 128 != 0);
  return total;
}

}  // namespace jpeg
