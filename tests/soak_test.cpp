// Soak: a million records of random deltas streamed through the host and
// board simulators while the host refills the ring in random amounts. At
// the end host and board agree on every axis, each equal to the sum of what
// was streamed, and the heap in use has not grown between the first and the
// last tenth of the run.
//
// VENDRIX_SOAK_RECORDS sets another record count. Under AddressSanitizer
// the heap in use is the sanitizer allocator's count.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "motion/device.h"
#include "sim/machine.h"

#if defined(__SANITIZE_ADDRESS__)
#define VX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VX_ASAN 1
#endif
#endif

#ifdef VX_ASAN
// From the sanitizer runtime (GCC ships no header declaring it).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace vx {
namespace {

using sim::Machine;

constexpr size_t kDefaultRecords = 1000000;
#ifdef VX_ASAN
size_t HeapInUse() { return __sanitizer_get_current_allocated_bytes(); }
#else
size_t HeapInUse() { return mallinfo2().uordblks; }
#endif

size_t RecordCount() {
  if (const char* n = std::getenv("VENDRIX_SOAK_RECORDS")) {
    long v = std::atol(n);
    if (v > 0) return static_cast<size_t>(v);
  }
  return kDefaultRecords;
}

// One record: mostly anything the board can step, now and then a standstill
// or the exact limit.
void RandomRecord(std::mt19937& rng, Machine::Record* r) {
  std::uniform_real_distribution<double> any(-400.0, 400.0);
  for (double& d : r->Delta) {
    switch (rng() % 16) {
      case 0: d = 0.0; break;
      case 1: d = (rng() & 1) ? 400.0 : -400.0; break;
      default: d = any(rng); break;
    }
  }
}

TEST(Soak, MillionRecordsEndWithEqualPositionsAndAFlatHeap) {
  const size_t records = RecordCount();
  sim::MachineOptions o;
  o.UpdatePeriodUs = 1000;
  // A little slower than 41 records per Update: the board's buffer fills
  // and its held SegmentsAck answers pace the stream.
  o.Board.SegmentPeriodUs = 30;
  Machine m(o);
  m.board.SetTranscriptEnabled(false);
  m.host.SetWriteLogging(false);
  m.Start();
  m.Update();

  std::mt19937 rng(424242);
  std::vector<int64_t> expected(proto::kAxes, 0);
  size_t sent = 0;
  size_t firstTenthPeak = 0, lastTenthPeak = 0;
  const size_t tenth = records / 10;
  Machine::Record r;
  uint32_t line = 1;
  while (sent < records) {
    // The host's planner refills by a random amount, sometimes not at all.
    size_t refill = std::min<size_t>(rng() % 90, records - sent);
    for (size_t i = 0; i < refill; ++i) {
      RandomRecord(rng, &r);
      r.Line = static_cast<int32_t>(line++ & 0x7FFFFF);
      if (!m.host.PushRecord(r.Delta, r.Line)) break;
      for (int a = 0; a < proto::kAxes; ++a) expected[a] += static_cast<int64_t>(std::trunc(r.Delta[a]));
      ++sent;
    }
    m.Update();
    ASSERT_FALSE(m.host.EStop()) << "after " << sent << " records: " << m.host.StatusText();
    const size_t inUse = HeapInUse();
    if (sent <= tenth) firstTenthPeak = std::max(firstTenthPeak, inUse);
    if (sent >= records - tenth) lastTenthPeak = std::max(lastTenthPeak, inUse);
  }
  m.host.SetBufferEnding(true);
  ASSERT_TRUE(m.RunToEnd());

  EXPECT_EQ(m.board.Statistics().SegmentsExecuted, records);
  for (int a = 0; a < proto::kAxes; ++a) {
    EXPECT_EQ(m.board.Position(a), static_cast<int32_t>(expected[a])) << "axis " << a;
    EXPECT_EQ(m.host.Position(a), m.board.Position(a)) << "axis " << a;
  }
  EXPECT_TRUE(m.board.Violations().empty()) << m.board.Violations().front();
  EXPECT_GT(m.board.Statistics().HeldAnswerTicks, 0u) << "flow control never engaged";
  // Flat: whatever the run needs it has by the end of its first tenth.
  EXPECT_LE(lastTenthPeak, firstTenthPeak + 64 * 1024)
      << "heap in use grew from " << firstTenthPeak << " to " << lastTenthPeak << " bytes";
}

}  // namespace
}  // namespace vx
