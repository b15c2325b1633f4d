// A latency histogram of the log-linear kind load tools use: whole
// microseconds, exact below 256, above that 128 buckets per power of two
// (each less than 1/128 of its values wide), so a percentile read off the
// middle of its bucket is within 1/256 of a value recorded there. Memory is
// bounded (at most 37 KB, a kilobyte per power of two the values reach); counts, sum, minimum and
// maximum are exact, and two histograms merge exactly by adding their buckets.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>

namespace vtm::stats {

class Histogram {
 public:
  static constexpr int kPrecisionBits = 8;
  static constexpr int kTopExponent = 42;  // values of 2**43 and above share the top bucket
  static constexpr std::uint64_t kTopValue = (std::uint64_t{1} << (kTopExponent + 1)) - 1;
  static constexpr int kBuckets = 256 + (kTopExponent - 7) * 128;

  static int index_of(std::uint64_t us) {
    if (us > kTopValue) us = kTopValue;
    if (us < 256) return static_cast<int>(us);
    const int e = 63 - __builtin_clzll(us);  // the highest set bit, 8 or more
    const int shift = e - 7;
    return 256 + (e - 8) * 128 + static_cast<int>((us >> shift) - 128);
  }
  // The middle of bucket i (the value itself below 256).
  static std::uint64_t middle_of(int i) {
    if (i < 256) return static_cast<std::uint64_t>(i);
    const int k = i - 256;
    const int shift = 8 + k / 128 - 7;
    const std::uint64_t low = (std::uint64_t{128} + k % 128) << shift;
    return low + (std::uint64_t{1} << (shift - 1));
  }

  Histogram() = default;
  Histogram(const Histogram& o) : count_(o.count_), sum_(o.sum_), min_(o.min_), max_(o.max_) {
    for (int k = 0; k < kSegments; ++k) {
      if (!o.segments_[k]) continue;
      segments_[k] = std::make_unique<std::uint64_t[]>(kSegmentSize);
      std::copy_n(o.segments_[k].get(), kSegmentSize, segments_[k].get());
    }
  }
  Histogram& operator=(const Histogram& o) {
    if (this != &o) *this = Histogram(o);
    return *this;
  }
  Histogram(Histogram&&) noexcept = default;
  Histogram& operator=(Histogram&&) noexcept = default;

  void record(std::uint64_t us) {
    // Buckets come in segments of 128, made when a value first falls in one:
    // a manager that records nothing costs nothing, and runs of similar
    // length fill a few kilobytes, not the whole range.
    const int i = index_of(us);
    auto& segment = segments_[i / kSegmentSize];
    if (!segment) segment = std::make_unique<std::uint64_t[]>(kSegmentSize);
    ++segment[i % kSegmentSize];
    if (count_ == 0 || us < min_) min_ = us;
    if (us > max_) max_ = us;
    ++count_;
    sum_ += us;
  }
  // A histogram given by its figures: add_to_bucket for each bucket's count,
  // then set_totals with the sum, minimum and maximum the values had.
  void add_to_bucket(int i, std::uint64_t n) {
    auto& segment = segments_[i / kSegmentSize];
    if (!segment) segment = std::make_unique<std::uint64_t[]>(kSegmentSize);
    segment[i % kSegmentSize] += n;
    count_ += n;
  }
  void set_totals(std::uint64_t sum, std::uint64_t min, std::uint64_t max) {
    sum_ = sum;
    min_ = min;
    max_ = max;
  }
  // Back to empty. The segments made stay, zeroed: the per-second histogram
  // is reset every second, and remaking its segments each time put a
  // kilobyte allocation a second into the malloc arena of whichever task
  // thread finished first.
  void reset() {
    for (auto& segment : segments_)
      if (segment) std::fill_n(segment.get(), kSegmentSize, std::uint64_t{0});
    count_ = sum_ = min_ = max_ = 0;
  }

  std::uint64_t count() const { return count_; }
  std::uint64_t sum() const { return sum_; }
  std::uint64_t min() const { return min_; }
  std::uint64_t max() const { return max_; }
  std::uint64_t bucket(int i) const {
    const auto& segment = segments_[i / kSegmentSize];
    return segment ? segment[i % kSegmentSize] : 0;
  }

  // The value at percentile q, given in thousandths of a percent (p99.9 is
  // 99900): the middle of the bucket holding the value of that rank (the
  // nearest rank), kept within the exact minimum and maximum. Only for a
  // histogram with values.
  std::uint64_t percentile(std::uint32_t q_milli) const {
    // (In 128 bits: a merged histogram's count times 99900 outgrows 64.)
    auto rank = static_cast<std::uint64_t>(
        (static_cast<unsigned __int128>(count_) * q_milli + 99999) / 100000);
    if (rank < 1) rank = 1;
    std::uint64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
      if (!segments_[i / kSegmentSize]) {
        i += kSegmentSize - 1;  // an empty segment
        continue;
      }
      seen += segments_[i / kSegmentSize][i % kSegmentSize];
      if (seen >= rank) {
        std::uint64_t v = middle_of(i);
        return v < min_ ? min_ : v > max_ ? max_ : v;
      }
    }
    return max_;
  }

 private:
  static constexpr int kSegmentSize = 128;
  static constexpr int kSegments = kBuckets / kSegmentSize;
  std::unique_ptr<std::uint64_t[]> segments_[kSegments];  // each kSegmentSize counts, or none
  std::uint64_t count_ = 0;
  std::uint64_t sum_ = 0;
  std::uint64_t min_ = 0;
  std::uint64_t max_ = 0;
};

}  // namespace vtm::stats
