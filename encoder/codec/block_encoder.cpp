// Method-5 block encoder: a parse priced from the live model (lazy at the fast levels, a shortest
// path over every candidate at the others), and a carry-propagating range encoder that mirrors
// the block decoder decision for decision.
#include "codec/block_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "codec/match_finder.h"

namespace uq::enc {

namespace {

using detail::bit_length;
using detail::Candidate;
using detail::kMaxMatchLength;

// ---- model ------------------------------------------------------------------------------------

// A probability pair: the chance of a 0, scaled so that 0x8000 is certainty; fast and slow
// adaptation, the decision uses their mean.
struct Prob {
  std::uint16_t fast = 0x4000;
  std::uint16_t slow = 0x4000;
  std::uint32_t p0() const { return (static_cast<std::uint32_t>(fast) + slow) >> 1; }
  // Both outcomes are computed and one is selected by a mask: the encoder knows its bits, and a
  // branch on them mispredicted about once in three decisions (2.2 million times per 2 MB of x86
  // code).
  void update(unsigned bit) {
    std::uint32_t mask = 0u - bit;  // all ones for a 1
    std::uint32_t f = fast;
    std::uint32_t s = slow;
    std::uint32_t f0 = f + ((0x8000u - f) >> 3);
    std::uint32_t s0 = s + ((0x8000u - s) >> 6);
    std::uint32_t f1 = f - (f >> 3);
    std::uint32_t s1 = s - (s >> 6);
    fast = static_cast<std::uint16_t>(f0 ^ ((f0 ^ f1) & mask));
    slow = static_cast<std::uint16_t>(s0 ^ ((s0 ^ s1) & mask));
  }
};

// Row sizes and row counts the decoder indexes with; only the rows the decoder consults exist.
constexpr unsigned kExtraRow = 2048;      // dist_extra: slots 4..22, nodes up to 1023
constexpr unsigned kTopRow = 512;         // dist_top: slots 23..63, nodes up to 255
constexpr unsigned kSlotRow = 128;        // dist_slot: one 6-bit tree per length class
constexpr unsigned kFirstDivisionSlot = 23;
constexpr unsigned kFirstExtraSlot = 4;
constexpr unsigned kLadderSize = 32;

struct Model {
  std::array<Prob, 256 * 16 * 4> lit_hi;
  std::array<Prob, 16 * 16 * 16 * 4> lit_lo;
  std::array<Prob, 256> is_match;
  std::array<Prob, kLadderSize> len_ladder;
  std::array<Prob, kLadderSize * 32> len_bits;
  std::array<Prob, 4 * kSlotRow> dist_slot;
  std::array<Prob, kFirstDivisionSlot * kExtraRow> dist_extra;
  std::array<Prob, 64 * kTopRow> dist_top;
};

// ---- prices -----------------------------------------------------------------------------------

// Cost of a decision in 1/64 bit, looked up by the probability of the outcome >> 4 (2048 steps
// over 0..0x8000).
constexpr unsigned kPriceShift = 6;
constexpr unsigned kPriceSteps = 2048;

struct PriceTable {
  std::array<std::uint32_t, kPriceSteps> cost{};
  PriceTable() {
    for (unsigned i = 0; i < kPriceSteps; ++i) {
      double p = (i * 16.0 + 8.0) / 32768.0;
      cost[i] = static_cast<std::uint32_t>(std::lround(-std::log2(p) * (1 << kPriceShift)));
    }
  }
};

const PriceTable kPrices;

inline std::uint32_t price(const Prob& p, unsigned bit) {
  std::uint32_t p0 = p.p0();
  std::uint32_t mask = 0u - bit;
  return kPrices.cost[(p0 ^ ((p0 ^ (0x8000u - p0)) & mask)) >> 4];  // chance of `bit`
}

// ---- range encoder ----------------------------------------------------------------------------

constexpr std::uint32_t kTop = 1u << 24;

// Keeps the bottom of the range in `low` (33 bits: a carry may still ripple into bytes already
// decided, so the last byte below the carry and a run of 0xFF bytes after it are held back).
class RangeEncoder {
 public:
  explicit RangeEncoder(std::vector<std::uint8_t>& out) : out_(out) {}

  void bit(Prob& p, unsigned b) {
    std::uint32_t bound = (range_ >> 15) * p.p0();
    std::uint32_t mask = 0u - b;  // all ones for a 1
    low_ += bound & mask;
    range_ = ((range_ - bound) & mask) | (bound & ~mask);
    p.update(b);
    if (range_ < kTop) normalise();
  }

  // The decoder reads k bits at once as q = code / (range >> k); q < 2^k here.
  void division_step(std::uint32_t q, unsigned k) {
    std::uint32_t r = range_ >> k;
    low_ += static_cast<std::uint64_t>(q) * r;
    range_ = r;
    if (range_ < kTop) normalise();
  }

  // Five shifts push the whole of `low` out; the decoder then has read exactly what was written.
  void finish() {
    for (int i = 0; i < 5; ++i) shift_low();
  }

 private:
  // Out of line: one decision in about eight gets here, and the hot path stays small enough to
  // inline into every caller.
  __attribute__((noinline)) void normalise() {
    do {
      range_ <<= 8;
      shift_low();
    } while (range_ < kTop);
  }

  void shift_low() {
    if (low_ < 0xFF000000u || low_ >= (std::uint64_t{1} << 32)) {
      auto carry = static_cast<std::uint8_t>(low_ >> 32);
      std::uint8_t b = cache_;
      do {
        out_.push_back(static_cast<std::uint8_t>(b + carry));
        b = 0xFF;
      } while (--pending_ != 0);
      cache_ = static_cast<std::uint8_t>(low_ >> 24);
    }
    ++pending_;
    low_ = (low_ & 0x00FFFFFFu) << 8;
  }

  std::vector<std::uint8_t>& out_;
  std::uint64_t low_ = 0;
  std::uint32_t range_ = 0xFFFFFFFFu;
  // The first byte out is this initial 0, the byte the decoder passes over.
  std::uint8_t cache_ = 0;
  std::uint64_t pending_ = 1;
};

// ---- symbol coder -----------------------------------------------------------------------------

class SymbolCoder {
 public:
  // Prices are refreshed every `refresh_matches` matches.
  SymbolCoder(std::vector<std::uint8_t>& out, unsigned adjustment, unsigned refresh_matches,
              EncodeStats* stats)
      : rc_(out), model_(std::make_unique<Model>()), adjustment_(adjustment),
        refresh_matches_(refresh_matches), stats_(stats) {
    refresh_prices();
  }

  void literal(std::uint8_t byte, std::uint8_t prev, std::uint8_t prev2) {
    rc_.bit(model_->is_match[prev], 0);
    unsigned h = byte >> 4;
    unsigned l = byte & 15u;
    Prob* hi = &model_->lit_hi[prev * 64u];
    unsigned sofar = 0;
    for (unsigned i = 0; i < 4; ++i) {
      unsigned b = (h >> (3 - i)) & 1u;
      rc_.bit(hi[(((static_cast<unsigned>(prev2) << i) | sofar) & 15u) * 4 + 3 - i], b);
      sofar = sofar * 2 + b;
    }
    Prob* lo = &model_->lit_lo[(prev & 15u) * 1024u + h * 64u];
    sofar = 0;
    for (unsigned i = 0; i < 4; ++i) {
      unsigned b = (l >> (3 - i)) & 1u;
      rc_.bit(lo[((((static_cast<unsigned>(prev) >> 4) << i) | sofar) & 15u) * 4 + 3 - i], b);
      sofar = sofar * 2 + b;
    }
    if (stats_ != nullptr) ++stats_->literals;
  }

  std::uint32_t literal_price(std::uint8_t byte, std::uint8_t prev, std::uint8_t prev2) const {
    std::uint32_t total = price(model_->is_match[prev], 0);
    unsigned h = byte >> 4;
    unsigned l = byte & 15u;
    const Prob* hi = &model_->lit_hi[prev * 64u];
    unsigned sofar = 0;
    for (unsigned i = 0; i < 4; ++i) {
      unsigned b = (h >> (3 - i)) & 1u;
      unsigned window = ((static_cast<unsigned>(prev2) << i) | sofar) & 15u;
      total += price(hi[window * 4 + 3 - i], b);
      sofar = sofar * 2 + b;
    }
    const Prob* lo = &model_->lit_lo[(prev & 15u) * 1024u + h * 64u];
    sofar = 0;
    for (unsigned i = 0; i < 4; ++i) {
      unsigned b = (l >> (3 - i)) & 1u;
      unsigned window = (((static_cast<unsigned>(prev) >> 4) << i) | sofar) & 15u;
      total += price(lo[window * 4 + 3 - i], b);
      sofar = sofar * 2 + b;
    }
    return total;
  }

  // A match of `length` bytes whose distance is d + 1.
  void match(std::uint32_t length, std::uint32_t d, std::uint8_t prev) {
    rc_.bit(model_->is_match[prev], 1);
    std::uint32_t n = length - adjustment_;
    unsigned ladder = bit_length(n) - 2;
    for (unsigned t = 0; t < ladder; ++t) rc_.bit(model_->len_ladder[t], 1);
    rc_.bit(model_->len_ladder[ladder], 0);
    for (int j = static_cast<int>(ladder); j >= 0; --j) {
      rc_.bit(model_->len_bits[ladder * 32 + static_cast<unsigned>(j)], (n >> j) & 1u);
    }
    unsigned length_class = std::min<std::uint32_t>(n - 2, 3);
    unsigned slot = distance_slot(d);
    tree(&model_->dist_slot[length_class * kSlotRow], 6, slot);
    if (slot >= kFirstExtraSlot) {
      unsigned fb = (slot >> 1) - 1;
      std::uint32_t extra = d - ((2u | (slot & 1u)) << fb);
      if (slot < kFirstDivisionSlot) {
        tree(&model_->dist_extra[slot * kExtraRow], fb, extra);
      } else {
        unsigned k = fb - 8;
        tree(&model_->dist_top[slot * kTopRow], 8, extra >> k);
        rc_.division_step(extra & ((1u << k) - 1u), k);
      }
    }
    if (++matches_since_refresh_ == refresh_matches_) refresh_prices();
    if (stats_ != nullptr) {
      ++stats_->matches;
      ++stats_->slot_count[slot];
      ++stats_->length_class_count[length_class];
      ++stats_->ladder_count[ladder];
      stats_->longest_match = std::max<std::uint64_t>(stats_->longest_match, length);
      if (slot >= kFirstDivisionSlot) ++stats_->division_steps;
    }
  }

  // Parts of what a match would cost now: the flag, the length code n (length less the level's
  // adjustment), and the distance value d for each length class. Lengths and slots come from tables
  // refreshed every few matches; the extra distance bits are priced from the live
  // model.
  std::uint32_t match_flag_price(std::uint8_t prev) const { return price(model_->is_match[prev], 1); }

  std::uint32_t length_price(std::uint32_t n) const {
    return n < kCachedLengthCodes ? len_price_[n] : length_code_price(n);
  }

  // For the lengths a parse weighs, which stay below the longest `nice` length.
  std::uint32_t cached_length_price(std::uint32_t n) const { return len_price_[n]; }

  // by_class[c]: the distance's price after a length code of class c.
  void distance_prices(std::uint32_t d, std::uint32_t by_class[4]) const {
    unsigned slot = distance_slot(d);
    std::uint32_t extra = extra_price(slot, d);
    for (unsigned c = 0; c < 4; ++c) by_class[c] = slot_price_[c][slot] + extra;
  }

  std::uint32_t adjustment() const { return adjustment_; }

  std::uint32_t match_price(std::uint32_t length, std::uint32_t d, std::uint8_t prev) const {
    std::uint32_t n = length - adjustment_;
    unsigned length_class = std::min<std::uint32_t>(n - 2, 3);
    unsigned slot = distance_slot(d);
    return match_flag_price(prev) + length_price(n) + slot_price_[length_class][slot] +
           extra_price(slot, d);
  }

  void finish() { rc_.finish(); }

 private:
  void tree(Prob* row, unsigned bits, std::uint32_t value) {
    unsigned node = 1;
    for (int b = static_cast<int>(bits) - 1; b >= 0; --b) {
      unsigned bit = (value >> b) & 1u;
      rc_.bit(row[node], bit);
      node = node * 2 + bit;
    }
  }

  // Length codes below this (ladder counts up to 7, every length a parse weighs at once) are
  // priced from a table.
  static constexpr unsigned kCachedLengthCodes = 512;
  static_assert(detail::kMaxNice < kCachedLengthCodes, "a parse weighs lengths below kMaxNice");

  // The extra bits of a distance value in slot `slot`: a tree below slot 23, above it a tree over
  // the top 8 bits and k bits at an even split.
  std::uint32_t extra_price(unsigned slot, std::uint32_t d) const {
    if (slot < kFirstExtraSlot) return 0;
    unsigned fb = (slot >> 1) - 1;
    std::uint32_t extra = d - ((2u | (slot & 1u)) << fb);
    if (slot < kFirstDivisionSlot) return tree_price(&model_->dist_extra[slot * kExtraRow], fb, extra);
    unsigned k = fb - 8;
    return tree_price(&model_->dist_top[slot * kTopRow], 8, extra >> k) + (k << kPriceShift);
  }

  std::uint32_t length_code_price(std::uint32_t n) const {
    unsigned ladder = bit_length(n) - 2;
    std::uint32_t total = 0;
    for (unsigned t = 0; t < ladder; ++t) total += price(model_->len_ladder[t], 1);
    total += price(model_->len_ladder[ladder], 0);
    for (int j = static_cast<int>(ladder); j >= 0; --j) {
      total += price(model_->len_bits[ladder * 32 + static_cast<unsigned>(j)], (n >> j) & 1u);
    }
    return total;
  }

  // Builds every table top-down, one addition per entry: about 1,500 steps, where pricing each
  // entry on its own took 30,000.
  void refresh_prices() {
    matches_since_refresh_ = 0;
    std::uint32_t ladder = 0;  // the ladder's ones before step U
    for (unsigned u = 0; (4u << u) <= kCachedLengthCodes; ++u) {
      // Length codes 2^(u+1) .. 2^(u+2) - 1: the ladder, then u + 1 bits, the top one first.
      std::uint32_t* row = &len_price_[2u << u];
      row[0] = ladder + price(model_->len_ladder[u], 0);
      for (unsigned filled = 1, j = u + 1; j-- > 0; filled *= 2) {
        const Prob& p = model_->len_bits[u * 32 + j];
        std::uint32_t one = price(p, 1);
        std::uint32_t zero = price(p, 0);
        for (unsigned v = filled; v-- > 0;) {
          row[2 * v + 1] = row[v] + one;
          row[2 * v] = row[v] + zero;
        }
      }
      ladder += price(model_->len_ladder[u], 1);
    }
    for (unsigned c = 0; c < 4; ++c) {
      // tree[node]: the price of the path from the root to node; slots are nodes 64..127.
      std::array<std::uint32_t, 128> path;
      path[1] = 0;
      const Prob* row = &model_->dist_slot[c * kSlotRow];
      for (unsigned node = 1; node < 64; ++node) {
        path[2 * node] = path[node] + price(row[node], 0);
        path[2 * node + 1] = path[node] + price(row[node], 1);
      }
      std::copy(path.begin() + 64, path.end(), slot_price_[c].begin());
    }
  }

  static std::uint32_t tree_price(const Prob* row, unsigned bits, std::uint32_t value) {
    std::uint32_t total = 0;
    unsigned node = 1;
    for (int b = static_cast<int>(bits) - 1; b >= 0; --b) {
      unsigned bit = (value >> b) & 1u;
      total += price(row[node], bit);
      node = node * 2 + bit;
    }
    return total;
  }

  RangeEncoder rc_;
  std::unique_ptr<Model> model_;
  std::uint32_t adjustment_;
  unsigned refresh_matches_;
  EncodeStats* stats_;
  unsigned matches_since_refresh_ = 0;
  std::array<std::uint32_t, kCachedLengthCodes> len_price_{};
  std::array<std::array<std::uint32_t, 64>, 4> slot_price_{};
};

// ---- lazy parser ------------------------------------------------------------------------------

// What a byte left to literals is taken to cost when a match is weighed against it: 4.5 bits.
// Literals that survive matching are the expensive ones, yet 4 to 5 bits gave the smallest
// output on text and on x86 code (2 MB each: 8.11% / 32.8%), against 8.26% / 32.8% at 8 bits,
// 9.08% / 36.4% at 2 bits, and 8.20% / 32.7% for a running mean of the literals coded.
constexpr std::int64_t kLiteralEstimate = 288;
// A 2-byte match must beat its two literals by 1 bit: on x86 code and text the output then stays
// within 0.05% of coding no 2-byte match at all, where letting in every cheaper one loses 1.8%.
constexpr std::int64_t kShortMatchMargin = 1 << kPriceShift;

struct Choice {
  std::uint32_t length = 0;  // 0: no match worth coding
  std::uint32_t distance = 0;
  std::int64_t saving = 0;  // literal cost of the bytes covered, less the match's cost
};

// Greedy with a look one or two bytes ahead: the fast levels.
template <typename Finder>
class LazyParser {
 public:
  LazyParser(const std::uint8_t* data, std::size_t n, const ParseParams& params, Finder& finder,
             SymbolCoder& coder)
      : data_(data), n_(n), params_(params), finder_(finder), coder_(coder) {}

  void run() {
    std::size_t i = 2;
    Choice current = best_at(i);
    while (i < n_) {
      if (current.length == 0) {
        emit_literal(i);
        ++i;
        current = best_at(i);
        continue;
      }
      // Lazy look: a better match one or two bytes on is worth the literals in between.
      bool deferred = false;
      if (current.length < params_.nice_length) {
        std::int64_t literals_gain = 0;
        for (unsigned step = 1; step <= params_.lazy_steps; ++step) {
          std::size_t j = i + step;
          if (j >= n_) break;
          // i >= 2, so the literal at j - 1 has both context bytes.
          literals_gain +=
              kLiteralEstimate - coder_.literal_price(data_[j - 1], data_[j - 2], data_[j - 3]);
          Choice next = best_at(j);
          if (next.length != 0 && next.saving + literals_gain > current.saving) {
            for (std::size_t k = i; k < j; ++k) emit_literal(k);
            i = j;
            current = next;
            deferred = true;
            break;
          }
        }
      }
      if (deferred) continue;
      coder_.match(current.length, current.distance - 1, data_[i - 1]);
      i += current.length;
      current = best_at(i);
    }
  }

 private:
  // The best match at i; a position already searched by a lazy look keeps its answer, since the
  // finder has moved past it.
  Choice best_at(std::size_t i) {
    Choice choice;
    if (i >= n_) return choice;
    for (const Looked& l : looked_) {
      if (l.position == i) return l.choice;
    }
    choice = search(i);
    looked_[looked_next_] = {i, choice};
    looked_next_ = (looked_next_ + 1) % looked_.size();
    return choice;
  }

  Choice search(std::size_t i) {
    Choice choice;
    unsigned count = finder_.find(i, cands_);
    std::uint8_t prev = data_[i - 1];
    for (unsigned c = 0; c < count; ++c) {
      std::uint32_t length = cands_[c].length;
      std::int64_t literals = static_cast<std::int64_t>(length) * kLiteralEstimate;
      if (length == 2) {
        // The estimate never favours a 2-byte match (level 9 alone has them): its first one costs
        // at least the 9 bits the estimate gives two literals. So weigh it against the two
        // literals' real prices, and let it in only when it wins by a bit.
        literals = coder_.literal_price(data_[i], prev, data_[i - 2]) +
                   coder_.literal_price(data_[i + 1], data_[i], prev) - kShortMatchMargin;
      }
      std::int64_t saving = literals - coder_.match_price(length, cands_[c].distance - 1, prev);
      if (saving > choice.saving) choice = {length, cands_[c].distance, saving};
    }
    return choice;
  }

  void emit_literal(std::size_t i) { coder_.literal(data_[i], data_[i - 1], data_[i - 2]); }

  struct Looked {
    std::size_t position = 0;  // 0 never holds an item, so it marks an empty entry
    Choice choice;
  };

  const std::uint8_t* data_;
  std::size_t n_;
  const ParseParams& params_;
  Finder& finder_;
  SymbolCoder& coder_;
  std::array<Looked, 4> looked_{};
  std::size_t looked_next_ = 0;
  Candidate cands_[detail::kMaxCandidates];
};

// ---- optimal parser ---------------------------------------------------------------------------

// A shortest path over the bytes ahead: every position gets the cheapest way to reach it, by a
// literal or by any (length, nearest distance) pair the finder reports at an earlier position,
// priced from the model as it stands. The context of every decision is the data itself (the two
// bytes before it), never the parse, so the price of an item does not depend on the path that led
// to it and the search is exact for the prices it is given. The path is cut and coded where all
// paths meet, at a long match, or after kWindow positions; the model then adapts to what was coded
// before the next stretch is priced.
template <typename Finder>
class OptimalParser {
 public:
  OptimalParser(const std::uint8_t* data, std::size_t n, const ParseParams& params,
                Finder& finder, SymbolCoder& coder)
      : data_(data), n_(n),
        take_(std::clamp<unsigned>(std::min(params.take_length, params.nice_length), 2, detail::kMaxNice)),
        finder_(finder), coder_(coder), nodes_(kWindow + detail::kMaxNice + 2) {}

  void run() {
    std::size_t i = 2;
    while (i < n_) i = stretch(i);
  }

 private:
  static constexpr std::size_t kWindow = 4096;
  static constexpr std::uint32_t kUnreached = 0xFFFFFFFFu;

  struct Node {
    std::uint32_t price;
    std::uint32_t length;    // of the item that ends here: 1 for a literal
    std::uint32_t distance;  // of that item when it is a match
  };

  // Codes the cheapest items from i to where the stretch ends; gives that position.
  std::size_t stretch(std::size_t i) {
    ++stretch_;
    unsigned count = candidates_at(i);
    if (count != 0 && cands_[count - 1].length >= take_) {
      // Long enough to take without weighing: nothing is lost but bytes of a long match.
      Candidate c = cands_[count - 1];
      coder_.match(c.length, c.distance - 1, data_[i - 1]);
      finder_.skip_to(i + c.length);
      return i + c.length;
    }
    nodes_[0].price = 0;
    std::size_t filled = 0;  // nodes 0..filled hold a price (kUnreached when none)
    std::size_t cur = 0;
    for (;;) {
      relax(i + cur, cur, count, filled);
      ++cur;
      if (cur == filled || cur >= kWindow) break;  // every path passes through cur
      count = finder_.find(i + cur, cands_);
      if (count != 0 && cands_[count - 1].length >= take_) {
        pending_ = i + cur;  // the next stretch starts with this long match
        pending_count_ = count;
        break;
      }
    }
    emit(i, cur);
    return i + cur;
  }

  unsigned candidates_at(std::size_t i) {
    if (pending_ == i) {
      pending_ = 0;
      return pending_count_;
    }
    return finder_.find(i, cands_);
  }

  void relax(std::size_t pos, std::size_t cur, unsigned count, std::size_t& filled) {
    const std::uint32_t base = nodes_[cur].price;
    const std::uint8_t prev = data_[pos - 1];
    if (count == 0 && filled == cur) {
      // A literal no path can avoid: the stretch ends after it, so its price is never compared.
      // Skipping it saves 6% of the instructions on the data quarter of the bench corpus.
      reach(cur + 1, filled);
      nodes_[cur + 1] = {base, 1, 0};
      return;
    }
    reach(cur + 1, filled);
    set(cur + 1, base + coder_.literal_price(data_[pos], prev, data_[pos - 2]), 1, 0);
    if (count == 0) return;
    const std::uint32_t flag = base + coder_.match_flag_price(prev);
    const std::uint32_t adjustment = coder_.adjustment();
    std::uint32_t length = adjustment + 2;
    reach(cur + cands_[count - 1].length, filled);
    for (unsigned c = 0; c < count; ++c) {
      const std::uint32_t* by_class = distance_prices(cands_[c].distance);
      const std::uint32_t longest = cands_[c].length;
      // Length codes 2 to 4 have classes 0 to 2, and every longer one class 3: the loop over
      // the long lengths adds one price per length (8% fewer instructions on the Linux tarball).
      for (; length <= longest && length - adjustment < 5; ++length) {
        std::uint32_t n = length - adjustment;
        set(cur + length, flag + coder_.length_price(n) + by_class[n - 2], length, cands_[c].distance);
      }
      const std::uint32_t tail = flag + by_class[3];
      for (; length <= longest; ++length) {
        set(cur + length, tail + coder_.cached_length_price(length - adjustment), length, cands_[c].distance);
      }
    }
  }

  // The model holds still while a stretch is priced, and the same distances come back at
  // position after position (a match seen again one byte on): their prices are kept for the
  // stretch, which saves 11% of the instructions on libraries.
  const std::uint32_t* distance_prices(std::uint32_t distance) {
    KnownDistance& known = known_[distance % known_.size()];
    if (known.stretch != stretch_ || known.distance != distance) {
      known.stretch = stretch_;
      known.distance = distance;
      coder_.distance_prices(distance - 1, known.by_class);
    }
    return known.by_class;
  }

  void reach(std::size_t to, std::size_t& filled) {
    for (; filled < to; ++filled) nodes_[filled + 1].price = kUnreached;
  }

  void set(std::size_t at, std::uint32_t price, std::uint32_t length, std::uint32_t distance) {
    Node& node = nodes_[at];
    if (price < node.price) node = {price, length, distance};
  }

  // Codes the cheapest path from i to i + end.
  void emit(std::size_t i, std::size_t end) {
    path_.clear();
    for (std::size_t at = end; at > 0; at -= nodes_[at].length) path_.push_back(at);
    std::size_t pos = i;
    for (auto it = path_.rbegin(); it != path_.rend(); ++it) {
      const Node& node = nodes_[*it];
      if (node.length == 1) {
        coder_.literal(data_[pos], data_[pos - 1], data_[pos - 2]);
      } else {
        coder_.match(node.length, node.distance - 1, data_[pos - 1]);
      }
      pos += node.length;
    }
  }

  const std::uint8_t* data_;
  std::size_t n_;
  std::uint32_t take_;
  Finder& finder_;
  SymbolCoder& coder_;
  std::vector<Node> nodes_;
  std::vector<std::size_t> path_;
  struct KnownDistance {
    std::uint32_t stretch = 0;  // 0: never filled
    std::uint32_t distance = 0;
    std::uint32_t by_class[4];
  };
  std::uint32_t stretch_ = 0;  // counts the stretches priced, each under a model of its own
  std::array<KnownDistance, 256> known_{};
  std::size_t pending_ = 0;  // position whose candidates cands_ still holds (0: none)
  unsigned pending_count_ = 0;
  Candidate cands_[detail::kMaxCandidates];
};

template <typename Finder>
void parse(const std::uint8_t* data, std::size_t n, std::uint8_t level, const ParseParams& params,
           SymbolCoder& coder) {
  detail::FinderParams fp;
  fp.min_length = min_match_length(level);
  fp.depth = params.depth;
  fp.nice = params.nice_length;
  fp.good = params.good_length;
  fp.hash_bits = params.hash_bits;
  fp.window_bits = params.window_bits;
  Finder finder(data, n, fp);
  finder.skip_to(2);
  if (params.optimal) {
    OptimalParser<Finder>(data, n, params, finder, coder).run();
  } else {
    LazyParser<Finder>(data, n, params, finder, coder).run();
  }
}

}  // namespace

ParseParams params_for_level(std::uint8_t level) {
  struct Row {
    bool optimal, tree;
    unsigned depth, nice, take, good, lazy, hash_bits;
  };
  // Rows 0..9; 10 and above share the last. Levels 0..3 parse lazily over hash chains; the others
  // find every candidate in a binary tree (level 4: chains) and take the cheapest path. Sizes
  // against xz -6 with the same 1 MiB blocks on the bench corpus's quarters (text, libraries,
  // headers, data), and time against xz -6 -T1:
  //   level 3: 1.106 1.121 1.122 1.158, 3.4-7x as fast (the former default)
  //   level 8: 1.027 1.055 1.025 1.083, 1.25x as fast: shortest match 3
  //   level 9: 1.012 1.047 1.013 1.080, 0.8x: shortest match 2, the smallest output
  // Depth and take length buy the most on headers and data: level 8 at depth 8 and take 24 is
  // 1.3x faster but 4% larger on data (1.125).
  static constexpr Row kRows[] = {
      {false, false, 4, 16, 16, 8, 0, 16},     {false, false, 8, 24, 24, 8, 0, 16},
      {false, false, 8, 32, 32, 16, 1, 17},    {false, false, 16, 48, 48, 32, 1, 18},
      {true, false, 8, 64, 24, 64, 0, 17},     {true, true, 6, 48, 20, 48, 0, 17},
      {true, true, 8, 64, 24, 64, 0, 18},      {true, true, 16, 96, 48, 96, 0, 18},
      {true, true, 16, 96, 48, 96, 0, 18},     {true, true, 64, 273, 273, 273, 0, 20},
      {true, true, 96, 273, 273, 273, 0, 20},
  };
  const Row& r = kRows[std::min<unsigned>(level, 10)];
  ParseParams p;
  p.optimal = r.optimal;
  p.tree = r.tree;
  p.depth = r.depth;
  p.nice_length = r.nice;
  p.take_length = r.take;
  p.good_length = r.good;
  p.lazy_steps = r.lazy;
  p.hash_bits = r.hash_bits;
  return p;
}

std::vector<std::uint8_t> encode_block(const std::uint8_t* data, std::size_t n,
                                       std::uint8_t level, EncodeStats* stats) {
  return encode_block(data, n, level, params_for_level(level), stats);
}

std::vector<std::uint8_t> encode_block(const std::uint8_t* data, std::size_t n,
                                       std::uint8_t level, const ParseParams& params,
                                       EncodeStats* stats) {
  if (n > kMaxMatchLength) throw std::length_error("block of 2 GiB or more");
  std::vector<std::uint8_t> out;
  out.reserve(n / 2 + 16);
  // The decoder always copies two bytes as they stand; past the block they are never looked at.
  out.push_back(n > 0 ? data[0] : 0);
  out.push_back(n > 1 ? data[1] : 0);
  // The cheapest path follows prices closely: refreshing every 32 matches instead of 256 makes it
  // 0.2% smaller. A refresh is about 1,500 steps, which the lazy parse, weighing one match at a
  // time against an estimate, would spend for nothing (8% of its time on libraries).
  SymbolCoder coder(out, length_adjustment(level), params.optimal ? 32 : 256, stats);
  if (n > 2) {
    if (params.tree) {
      parse<detail::TreeFinder>(data, n, level, params, coder);
    } else {
      parse<detail::ChainFinder>(data, n, level, params, coder);
    }
  }
  coder.finish();
  return out;
}

}  // namespace uq::enc
