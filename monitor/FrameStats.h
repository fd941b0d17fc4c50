// CFrameStats: the running figures of one device's frame path since its
// processor was created: frames encoded and written, bytes, encode and write
// times, failed writes. The monitor processor feeds it once per frame and
// writes its summary as one log line about once a minute while frames flow,
// and once at teardown.
//
// Threads: fed and read by the frame thread only, and read by the main
// thread after that thread was joined; it takes no lock. Adding a frame is a
// few additions and comparisons: nothing is allocated.
#pragma once

#include <cstdint>

// One frame, timed in ticks of a monotonic counter.
struct FrameSample {
  int64_t encodeTicks;    // the Encode call
  int64_t writeTicks;     // the first bulk write up to the end of the last one (recovery included)
  uint32_t bytes;         // the encoded length
  bool written;           // the device took the whole frame, at the first write or the retry
  uint32_t failedWrites;  // bulk writes of this frame that failed or came back short (0..2)
};

struct FrameStatsSummary {
  uint32_t encoded;
  uint32_t written;
  uint32_t failedWrites;
  uint64_t bytes;  // encoded bytes of the frames the device took whole
  double encodeMeanMs, encodeWorstMs;
  double writeMeanMs, writeWorstMs;
};

class CFrameStats {
 public:
  // ticksPerSecond: the counter's frequency (> 0); intervalTicks: the least
  // time between two periodic lines.
  CFrameStats(int64_t ticksPerSecond, int64_t intervalTicks);

  void Add(const FrameSample& sample);

  // Called after each frame with the counter's current value: true when a
  // periodic line is due (the interval has passed since the last one, or
  // since the first frame). Then the next one is due an interval later.
  bool LineDue(int64_t now);

  FrameStatsSummary Summary() const;

 private:
  double Ms(int64_t ticks) const;

  int64_t m_ticksPerSecond;
  int64_t m_intervalTicks;
  bool m_bTimerStarted;
  int64_t m_lastLine;
  uint32_t m_encoded;
  uint32_t m_written;
  uint32_t m_failedWrites;
  uint64_t m_bytes;
  int64_t m_encodeTicks, m_encodeWorst;
  int64_t m_writeTicks, m_writeWorst;
};
