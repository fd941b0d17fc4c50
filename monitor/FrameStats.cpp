// CFrameStats: sums and worst cases of one device's frames.
#include "FrameStats.h"

#include <algorithm>

CFrameStats::CFrameStats(int64_t ticksPerSecond, int64_t intervalTicks)
    : m_ticksPerSecond(ticksPerSecond > 0 ? ticksPerSecond : 1),
      m_intervalTicks(intervalTicks),
      m_bTimerStarted(false),
      m_lastLine(0),
      m_encoded(0),
      m_written(0),
      m_failedWrites(0),
      m_bytes(0),
      m_encodeTicks(0),
      m_encodeWorst(0),
      m_writeTicks(0),
      m_writeWorst(0) {}

void CFrameStats::Add(const FrameSample& sample) {
  // A counter read on another processor may come out a tick behind: never a
  // negative time.
  const int64_t encode = std::max<int64_t>(sample.encodeTicks, 0);
  const int64_t write = std::max<int64_t>(sample.writeTicks, 0);
  ++m_encoded;
  m_encodeTicks += encode;
  m_encodeWorst = std::max(m_encodeWorst, encode);
  m_writeTicks += write;
  m_writeWorst = std::max(m_writeWorst, write);
  m_failedWrites += sample.failedWrites;
  if (sample.written) {
    ++m_written;
    m_bytes += sample.bytes;
  }
}

bool CFrameStats::LineDue(int64_t now) {
  if (!m_bTimerStarted) {
    m_bTimerStarted = true;
    m_lastLine = now;
    return false;
  }
  if (now - m_lastLine < m_intervalTicks) return false;
  m_lastLine = now;
  return true;
}

double CFrameStats::Ms(int64_t ticks) const {
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(m_ticksPerSecond);
}

FrameStatsSummary CFrameStats::Summary() const {
  FrameStatsSummary s{};
  s.encoded = m_encoded;
  s.written = m_written;
  s.failedWrites = m_failedWrites;
  s.bytes = m_bytes;
  // Every encoded frame went to the device once (with its retry), so both
  // means are over the encoded frames.
  if (m_encoded > 0) {
    s.encodeMeanMs = Ms(m_encodeTicks) / m_encoded;
    s.writeMeanMs = Ms(m_writeTicks) / m_encoded;
  }
  s.encodeWorstMs = Ms(m_encodeWorst);
  s.writeWorstMs = Ms(m_writeWorst);
  return s;
}
