// The match finders against a brute-force search: every candidate is a real match, lengths rise
// with distance, and with depth to spare the longest match inside the window is found.
#include <gtest/gtest.h>

#include <algorithm>

#include "codec/match_finder.h"
#include "encoder/test_data.h"

namespace uq::test {
namespace {

using enc::detail::Candidate;
using enc::detail::FinderParams;

// Text with near and far repeats, a run and a stretch of noise: 6 KB.
Data finder_input() {
  Data d = header_like(3000, 5);
  Data noise = random_bytes(500, 6);
  d.insert(d.end(), noise.begin(), noise.end());
  d.insert(d.end(), 300, 'z');
  d.insert(d.end(), d.begin() + 100, d.begin() + 2300);
  return d;
}

std::uint32_t longest_at(const Data& d, std::size_t i, std::size_t window, std::uint32_t cap) {
  std::uint32_t best = 0;
  for (std::size_t pos = i > window ? i - window : 0; pos < i; ++pos) {
    std::uint32_t len = 0;
    while (i + len < d.size() && len < cap && d[pos + len] == d[i + len]) ++len;
    best = std::max(best, len);
  }
  return best;
}

template <typename Finder>
void check_finder(const char* what, unsigned min_length) {
  Data d = finder_input();
  FinderParams p;
  p.min_length = min_length;
  p.depth = 100000;  // no cut: the search must be exhaustive
  p.nice = 48;
  p.good = 48;
  p.window_bits = 12;
  Finder finder(d.data(), d.size(), p);
  Candidate out[enc::detail::kMaxCandidates];
  std::size_t found_long = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (i % 3 == 2) {  // a third of the positions are only recorded, as inside a taken match
      finder.skip_to(i + 1);
      continue;
    }
    unsigned count = finder.find(i, out);
    std::uint32_t previous = 0;
    for (unsigned c = 0; c < count; ++c) {
      const Candidate& m = out[c];
      ASSERT_TRUE(m.distance >= 1 && m.distance <= i) << what << " at " << i;
      ASSERT_GT(m.length, previous) << what << " at " << i;
      ASSERT_GE(m.length, min_length) << what << " at " << i;
      ASSERT_LE(i + m.length, d.size()) << what << " at " << i;
      ASSERT_TRUE(std::equal(d.begin() + i, d.begin() + i + m.length, d.begin() + i - m.distance))
          << what << " at " << i;
      previous = m.length;
    }
    // Within the window every match of 4 bytes or more is found, up to the nice length, past
    // which the longest one is followed to its end.
    std::uint32_t best = longest_at(d, i, (std::size_t{1} << p.window_bits) - 1, 48);
    if (best >= std::max(4u, min_length)) {
      ASSERT_GT(count, 0u) << what << " at " << i;
      EXPECT_GE(out[count - 1].length, best) << what << " at " << i;
      if (best == 48) ++found_long;
    }
  }
  EXPECT_GT(found_long, 1000u) << what;  // the repeats reached the nice length
}

TEST(MatchFinder, EveryCandidateIsARealMatchAndTheLongestIsFound) {
  check_finder<enc::detail::ChainFinder>("chains", 4);
  check_finder<enc::detail::ChainFinder>("chains", 3);
  check_finder<enc::detail::TreeFinder>("tree", 4);
  check_finder<enc::detail::TreeFinder>("tree", 2);
}

}  // namespace
}  // namespace uq::test
