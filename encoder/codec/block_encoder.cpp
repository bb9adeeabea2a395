// Method-5 block encoder: hash-chain match finding, a lazy parse priced from the live model, and
// a carry-propagating range encoder that mirrors the block decoder decision for decision.
#include "codec/block_encoder.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace uq::enc {

namespace {

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

unsigned bit_length(std::uint32_t v) { return 32u - static_cast<unsigned>(__builtin_clz(v)); }

class SymbolCoder {
 public:
  SymbolCoder(std::vector<std::uint8_t>& out, unsigned adjustment, EncodeStats* stats)
      : rc_(out), model_(std::make_unique<Model>()), adjustment_(adjustment), stats_(stats) {
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
    if (++matches_since_refresh_ == kRefreshMatches) refresh_prices();
    if (stats_ != nullptr) {
      ++stats_->matches;
      ++stats_->slot_count[slot];
      ++stats_->length_class_count[length_class];
      ++stats_->ladder_count[ladder];
      stats_->longest_match = std::max<std::uint64_t>(stats_->longest_match, length);
      if (slot >= kFirstDivisionSlot) ++stats_->division_steps;
    }
  }

  // What a match would cost now. Lengths, slots and near distances come from tables refreshed
  // every kRefreshMatches matches; far distances count their extra bits as one bit each.
  std::uint32_t match_price(std::uint32_t length, std::uint32_t d, std::uint8_t prev) const {
    std::uint32_t n = length - adjustment_;
    std::uint32_t total = price(model_->is_match[prev], 1) +
                          (n < kCachedLengthCodes ? len_price_[n] : length_code_price(n));
    unsigned length_class = std::min<std::uint32_t>(n - 2, 3);
    if (d < kCachedDistances) return total + near_price_[length_class][d];
    unsigned slot = distance_slot(d);
    return total + slot_price_[length_class][slot] + (((slot >> 1) - 1) << kPriceShift);
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

  // Length codes below this (ladder counts up to 4) and distance values below this (slots up to
  // 13) are priced from tables. A refresh costs about 2,500 lookups, about 10 per match; refreshing
  // every 64 matches instead gains 0.1% on text and costs 10% more time.
  static constexpr unsigned kCachedLengthCodes = 64;
  static constexpr unsigned kCachedDistances = 128;
  static constexpr unsigned kRefreshMatches = 256;

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

  void refresh_prices() {
    matches_since_refresh_ = 0;
    for (std::uint32_t n = 2; n < kCachedLengthCodes; ++n) len_price_[n] = length_code_price(n);
    for (unsigned c = 0; c < 4; ++c) {
      for (unsigned slot = 0; slot < 64; ++slot) {
        slot_price_[c][slot] = tree_price(&model_->dist_slot[c * kSlotRow], 6, slot);
      }
    }
    std::array<std::uint32_t, kCachedDistances> extra{};
    for (std::uint32_t d = kFirstExtraSlot; d < kCachedDistances; ++d) {
      unsigned slot = distance_slot(d);
      unsigned fb = (slot >> 1) - 1;
      extra[d] = tree_price(&model_->dist_extra[slot * kExtraRow], fb,
                            d - ((2u | (slot & 1u)) << fb));
    }
    for (unsigned c = 0; c < 4; ++c) {
      for (std::uint32_t d = 0; d < kCachedDistances; ++d) {
        near_price_[c][d] = slot_price_[c][distance_slot(d)] + extra[d];
      }
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
  EncodeStats* stats_;
  unsigned matches_since_refresh_ = 0;
  std::array<std::uint32_t, kCachedLengthCodes> len_price_{};
  std::array<std::array<std::uint32_t, 64>, 4> slot_price_{};
  std::array<std::array<std::uint32_t, kCachedDistances>, 4> near_price_{};
};

// ---- match finder -----------------------------------------------------------------------------

// Left uninitialised on purpose: the finder fills what it reports, and zeroing 40 of them per
// search cost 4% of the encoder's instructions.
struct Candidate {
  std::uint32_t length;
  std::uint32_t distance;  // D >= 1
};

// Blocks are shorter than 2^31 bytes, so a match never is longer; its length code then has at most
// 31 bits, a ladder of at most 29 steps where the decoder allows 31.
constexpr std::uint32_t kMaxMatchLength = 0x7FFFFFFF;

// Longest candidates are few: every one kept is longer than the one before it.
constexpr unsigned kMaxCandidates = 40;

inline std::uint32_t load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint64_t load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

// Head tables hold position + 1 (0: empty). A 4-byte hash chain serves every level; levels with
// shorter matches add the most recent position of each 3-byte hash and of each 2-byte value,
// which are the only places where such short matches pay for their distance.
class MatchFinder {
 public:
  MatchFinder(const std::uint8_t* data, std::size_t n, unsigned min_length,
              const ParseParams& params)
      : data_(data), n_(n), min_length_(min_length), depth_(std::max(1u, params.chain_depth)),
        nice_(std::max(params.nice_length, min_length)),
        good_(std::max(params.good_length, min_length)) {
    unsigned size_bits = bit_length(static_cast<std::uint32_t>(std::max<std::size_t>(n, 2) - 1));
    hash_bits_ = std::clamp(std::min(params.hash_bits, size_bits + 1), 10u, 24u);
    head4_.assign(std::size_t{1} << hash_bits_, 0);
    unsigned window_bits = std::clamp(std::min(params.window_bits, size_bits), 1u, 30u);
    chain_mask_ = (std::uint32_t{1} << window_bits) - 1;
    chain_.assign(std::size_t{chain_mask_} + 1, 0);
    if (min_length_ <= 3) {
      head3_bits_ = std::min(hash_bits_, 16u);
      head3_.assign(std::size_t{1} << head3_bits_, 0);
    }
    if (min_length_ <= 2) head2_.assign(std::size_t{1} << 16, 0);
  }

  // Records every position below `end` that has not been recorded yet.
  void insert_until(std::size_t end) {
    for (; next_ < end; ++next_) insert(next_);
  }

  // Candidates at position i (every earlier position recorded first), longest last.
  unsigned find(std::size_t i, Candidate* out) {
    insert_until(i);
    unsigned count = 0;
    const std::size_t limit_sz = n_ - i;
    const auto limit = static_cast<std::uint32_t>(std::min<std::size_t>(limit_sz, kMaxMatchLength));
    std::uint32_t best = min_length_ - 1;
    if (limit < min_length_) {
      insert_until(i + 1);
      return 0;
    }
    const std::uint8_t* cur = data_ + i;
    auto consider = [&](std::size_t pos) {
      std::uint32_t len = match_length(cur, data_ + pos, limit);
      if (len > best) {
        best = len;
        out[count++] = {len, static_cast<std::uint32_t>(i - pos)};
      }
    };
    if (min_length_ <= 2) {
      std::uint32_t c = head2_[key2(cur)];
      if (c != 0) consider(c - 1);
    }
    if (min_length_ <= 3 && limit >= 3) {
      std::uint32_t c = head3_[hash3(cur)];
      if (c != 0 && best < limit) consider(c - 1);
    }
    if (limit >= 4 && best < limit) {
      // The head may lie anywhere before i; a link is followed only while the position it was
      // stored at can't have been reused by a later one.
      std::uint32_t c = head4_[hash4(cur)];
      unsigned left = depth_;
      const std::uint32_t prefix = load32(cur);
      while (c != 0) {
        std::size_t pos = c - 1;
        if (cur[best] == data_[pos + best] && load32(data_ + pos) == prefix) {
          consider(pos);
          if (best >= nice_ || best >= limit || count == kMaxCandidates) break;
          if (best >= good_) left = std::min(left, std::max(1u, depth_ / 4));
        }
        if (--left == 0 || i - pos > chain_mask_) break;
        c = chain_[pos & chain_mask_];
      }
    }
    insert_until(i + 1);
    return count;
  }

 private:
  static std::uint32_t match_length(const std::uint8_t* a, const std::uint8_t* b,
                                    std::uint32_t limit) {
    std::uint32_t len = 0;
    while (len + 8 <= limit) {
      std::uint64_t x = load64(a + len) ^ load64(b + len);
      if (x != 0) return len + (static_cast<std::uint32_t>(__builtin_ctzll(x)) >> 3);
      len += 8;
    }
    while (len < limit && a[len] == b[len]) ++len;
    return len;
  }

  std::uint32_t hash4(const std::uint8_t* p) const {
    return (load32(p) * 2654435761u) >> (32 - hash_bits_);
  }
  std::uint32_t hash3(const std::uint8_t* p) const {
    std::uint32_t v = p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
    return (v * 506832829u) >> (32 - head3_bits_);
  }
  static std::uint32_t key2(const std::uint8_t* p) { return p[0] | (std::uint32_t{p[1]} << 8); }

  void insert(std::size_t j) {
    const std::uint8_t* p = data_ + j;
    std::size_t left = n_ - j;
    auto value = static_cast<std::uint32_t>(j + 1);
    if (left >= 4) {
      std::uint32_t& head = head4_[hash4(p)];
      chain_[j & chain_mask_] = head;
      head = value;
    }
    if (min_length_ <= 3 && left >= 3) head3_[hash3(p)] = value;
    if (min_length_ <= 2 && left >= 2) head2_[key2(p)] = value;
  }

  const std::uint8_t* data_;
  std::size_t n_;
  std::uint32_t min_length_;
  unsigned depth_;
  std::uint32_t nice_;
  std::uint32_t good_;
  unsigned hash_bits_ = 0;
  unsigned head3_bits_ = 0;
  std::uint32_t chain_mask_ = 0;
  std::vector<std::uint32_t> head4_;
  std::vector<std::uint32_t> head3_;
  std::vector<std::uint32_t> head2_;
  std::vector<std::uint32_t> chain_;
  std::size_t next_ = 0;
};

// ---- parser -----------------------------------------------------------------------------------

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

class Parser {
 public:
  Parser(const std::uint8_t* data, std::size_t n, std::uint8_t level, const ParseParams& params,
         std::vector<std::uint8_t>& out, EncodeStats* stats)
      : data_(data), n_(n), params_(params),
        finder_(data, n, min_match_length(level), params),
        coder_(out, length_adjustment(level), stats) {}

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
    coder_.finish();
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
    Candidate cands[kMaxCandidates];
    unsigned count = finder_.find(i, cands);
    std::uint8_t prev = data_[i - 1];
    for (unsigned c = 0; c < count; ++c) {
      std::uint32_t length = cands[c].length;
      std::int64_t literals = static_cast<std::int64_t>(length) * kLiteralEstimate;
      if (length == 2) {
        // The estimate never favours a 2-byte match (level 9 alone has them): its first one costs
        // at least the 9 bits the estimate gives two literals. So weigh it against the two
        // literals' real prices, and let it in only when it wins by a bit.
        literals = coder_.literal_price(data_[i], prev, data_[i - 2]) +
                   coder_.literal_price(data_[i + 1], data_[i], prev) - kShortMatchMargin;
      }
      std::int64_t saving = literals - coder_.match_price(length, cands[c].distance - 1, prev);
      if (saving > choice.saving) choice = {length, cands[c].distance, saving};
    }
    return choice;
  }

  void emit_literal(std::size_t i) {
    std::uint8_t prev = data_[i - 1];
    std::uint8_t prev2 = data_[i - 2];
    coder_.literal(data_[i], prev, prev2);
  }

  struct Looked {
    std::size_t position = 0;  // 0 never holds an item, so it marks an empty entry
    Choice choice;
  };

  const std::uint8_t* data_;
  std::size_t n_;
  ParseParams params_;
  std::array<Looked, 4> looked_{};
  std::size_t looked_next_ = 0;
  MatchFinder finder_;
  SymbolCoder coder_;

};

}  // namespace

ParseParams params_for_level(std::uint8_t level) {
  struct Row {
    unsigned depth, nice, good, lazy, hash_bits;
  };
  // Rows 0..9; 10 and above share the last. Past depth 16 each doubling of the depth gains about
  // 1% on text and on x86 code and costs 10-25% more time, mostly in cache misses on the chains.
  static constexpr Row kRows[] = {
      {4, 16, 8, 0, 16},     {8, 24, 8, 0, 16},     {8, 32, 16, 1, 17},   {12, 32, 16, 1, 17},
      {16, 48, 16, 1, 18},   {16, 64, 32, 1, 18},   {32, 96, 48, 1, 19},  {64, 128, 64, 2, 20},
      {96, 128, 64, 2, 20},  {128, 192, 96, 2, 20}, {256, 256, 128, 2, 20},
  };
  const Row& r = kRows[std::min<unsigned>(level, 10)];
  ParseParams p;
  p.chain_depth = r.depth;
  p.nice_length = r.nice;
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
  if (n <= 2) {
    std::vector<std::uint8_t> rc;
    SymbolCoder coder(rc, length_adjustment(level), stats);
    coder.finish();
    out.insert(out.end(), rc.begin(), rc.end());
    return out;
  }
  Parser parser(data, n, level, params, out, stats);
  parser.run();
  return out;
}

}  // namespace uq::enc
