// The file writer: reads the input block by block, filters and codes the blocks on worker
// threads, and writes header, records and blocks in record order.
#include "format/file_writer.h"

#include "unquarvex.h"

#include <xxhash.h>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <random>
#include <thread>

#include "platform/file_status.h"
#include "platform/replaced_file.h"
#include "platform/stream_position.h"
#include "platform/streams.h"

namespace uq::enc {

namespace {

void store_le(std::uint8_t* p, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One block on its way through the workers. Slots are reused round robin.
struct Slot {
  std::vector<std::uint8_t> block;
  std::vector<std::uint8_t> payload;
  std::uint64_t digest = 0;  // of the block as it restores, before the filter
  std::int64_t index = 0;
  bool done = false;
  bool failed = false;  // memory ran out while the block was coded
};

class Workers {
 public:
  Workers(std::size_t slots, unsigned threads, const WriterOptions& options)
      : slots_(slots), options_(options) {
    try {
      for (unsigned t = 0; t < threads; ++t) threads_.emplace_back([this] { work(); });
    } catch (...) {
      stop();  // the threads already started must not outlive a failed construction
      throw;
    }
  }
  ~Workers() { stop(); }

  Slot& slot(std::int64_t ordinal) { return slots_[static_cast<std::size_t>(ordinal) % slots_.size()]; }

  void submit(std::int64_t ordinal) {
    {
      std::lock_guard lock(mutex_);
      slot(ordinal).done = false;
      queue_.push_back(ordinal);
    }
    work_ready_.notify_one();
  }

  Slot& wait(std::int64_t ordinal) {
    std::unique_lock lock(mutex_);
    Slot& s = slot(ordinal);
    done_.wait(lock, [&] { return s.done; });
    return s;
  }

 private:
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    work_ready_.notify_all();
    for (auto& t : threads_) t.join();
  }

  void work() {
    for (;;) {
      std::int64_t ordinal;
      {
        std::unique_lock lock(mutex_);
        work_ready_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;
        ordinal = queue_.front();
        queue_.pop_front();
      }
      // The slot belongs to this worker until it is marked done.
      Slot& s = slot(ordinal);
      try {
        s.digest = block_digest(s.block.data(), s.block.size());
        s.payload = pack_block(s.block, options_.level, options_.filter);
        s.failed = false;
      } catch (const std::bad_alloc&) {
        s.payload.clear();
        s.failed = true;
      }
      {
        std::lock_guard lock(mutex_);
        s.done = true;
      }
      done_.notify_all();
    }
  }

  std::vector<Slot> slots_;
  const WriterOptions options_;
  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable done_;
  std::deque<std::int64_t> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

std::string errno_text() { return std::strerror(errno); }

constexpr std::uint16_t kLargeBlockMib = 64;

// Blocks in flight: two per thread keep every worker busy while the oldest one waits to be
// written; past 64 MiB a block a single spare one bounds the memory instead.
std::int64_t window_of(unsigned threads, std::int64_t block) {
  return static_cast<std::int64_t>(threads + (block <= format::block_size(kLargeBlockMib) ? threads : 1));
}

void put_checksum(std::array<std::uint8_t, format::kHeaderSize>& header, std::uint64_t checksum) {
  std::copy(std::begin(kChecksumTag), std::end(kChecksumTag), header.begin() + kChecksumAt);
  store_le(&header[kChecksumAt + 4], checksum, 8);
}

// Writes the record and the bytes of the block in `s`, the `ordinal`-th record of the file.
bool emit(const Slot& s, std::int64_t ordinal, const WriteOut& write, WriteSummary& sum) {
  auto record = make_record(static_cast<std::uint32_t>(s.payload.size()), s.index, ordinal);
  if (!write(record.data(), record.size()) || !write(s.payload.data(), s.payload.size())) return false;
  sum.out_bytes += record.size() + s.payload.size();
  ++sum.blocks;
  if (s.payload.size() == s.block.size()) ++sum.stored_blocks;
  return true;
}

}  // namespace

std::uint16_t automatic_block_mib(std::optional<std::int64_t> orig_size, std::uint8_t level) {
  const bool best = level == kBestLevel;
  const std::int64_t full = best ? kBestBlockMib : kDefaultBlockMib;
  if (!orig_size || *orig_size <= 0) return static_cast<std::uint16_t>(full);
  const std::int64_t size = *orig_size;
  const std::int64_t fewest = best ? kBlocksOfABestFile : kBlocksOfASmallFile;
  // The largest block that gives enough blocks, of which two workers taking turns each get about
  // half the bytes (at most 52.6%): 10 MiB in 3 MiB blocks would go 6 to 4 (worker one takes
  // blocks 0 and 2), in 2 MiB blocks 6 to 4 (blocks 0, 2 and 4), in 1 MiB blocks 5 to 5.
  for (std::int64_t mib = full; mib > 1; --mib) {
    const std::int64_t block = format::block_size(mib);
    const std::int64_t count = (size + block - 1) / block;
    const std::int64_t last = size - (count - 1) * block;
    const std::int64_t first_worker = count / 2 * block + (count % 2 == 1 ? last : 0);
    const std::int64_t larger = std::max(first_worker, size - first_worker);
    if (count >= fewest && larger * 38 <= size * 20) return static_cast<std::uint16_t>(mib);
  }
  // No block shares it fairly (9 MiB, say): the largest that still gives enough of them.
  return static_cast<std::uint16_t>(std::clamp<std::int64_t>(size / fewest / format::block_size(1), 1, full));
}

std::uint16_t block_mib_for(std::optional<std::int64_t> orig_size, std::uint8_t level,
                            std::optional<std::uint16_t> asked) {
  return asked ? *asked : automatic_block_mib(orig_size, level);
}

std::array<std::uint8_t, format::kHeaderSize> make_header(std::int64_t orig_size,
                                                          const WriterOptions& options) {
  std::array<std::uint8_t, format::kHeaderSize> h{};
  h[1] = 'Q';
  h[2] = 'V';
  h[3] = '0';
  store_le(&h[4], static_cast<std::uint64_t>(orig_size), 8);
  h[12] = kMethod;
  h[13] = options.level;
  h[17] = options.filter;
  store_le(&h[18], block_mib_for(orig_size, options.level, options.block_mib), 2);
  return h;
}

std::array<std::uint8_t, format::kRecordSize> make_record(std::uint32_t comp_len,
                                                          std::int64_t index,
                                                          std::int64_t ordinal) {
  std::array<std::uint8_t, format::kRecordSize> r{};
  store_le(&r[0], comp_len, 4);
  std::int64_t magnitude = index >= ordinal ? index - ordinal : ordinal - index;
  r[4] = static_cast<std::uint8_t>((magnitude << 1) | (index < ordinal ? 1 : 0));
  return r;
}

std::vector<std::int64_t> record_order(std::int64_t count, std::optional<std::uint64_t> seed) {
  std::vector<std::int64_t> order(static_cast<std::size_t>(std::max<std::int64_t>(count, 0)));
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::int64_t>(i);
  if (!seed) return order;
  // Sorting by index + a random 0..127 moves no block more than 127 places: every block at least
  // 128 below it still sorts before it and every block at least 128 above it after it.
  std::mt19937_64 rng(*seed);
  std::vector<std::pair<std::int64_t, std::int64_t>> keyed(order.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    auto jitter = static_cast<std::int64_t>(rng() >> 57);  // 7 random bits
    keyed[i] = {order[i] + jitter, order[i]};
  }
  std::sort(keyed.begin(), keyed.end());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = keyed[i].second;
  return order;
}

std::vector<std::uint8_t> pack_block(std::vector<std::uint8_t>& block, std::uint8_t level,
                                     std::uint8_t filter, EncodeStats* stats) {
  apply_forward_filter(filter, block.data(), block.size());
  std::vector<std::uint8_t> coded = encode_block(block.data(), block.size(), level, stats);
  if (coded.size() < block.size()) return coded;
  return block;
}

bool write_compressed(std::int64_t orig_size, const ReadAt& read, const WriteOut& write,
                      const RewriteHeader& rewrite_header, const WriterOptions& options,
                      WriteSummary* summary, std::string* error, const std::optional<StreamFacts>& announced) {
  WriteSummary local;
  WriteSummary& sum = summary != nullptr ? *summary : local;
  sum = {};
  sum.in_bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(orig_size, 0));
  const std::uint16_t block_mib = block_mib_for(orig_size, options.level, options.block_mib);
  if (block_mib == 0 || block_mib > kMaxBlockMib) {
    *error = "block size must be 1 to 2047 MiB";
    return false;
  }
  auto header = make_header(orig_size, options);
  if (announced) put_checksum(header, announced->checksum);
  if (!write(header.data(), header.size())) {
    *error = "write error: " + errno_text();
    return false;
  }
  sum.out_bytes = header.size();

  const std::int64_t block = format::block_size(block_mib);
  const std::int64_t count = format::block_count(orig_size, block);
  const std::vector<std::int64_t> order = record_order(count, options.shuffle_seed);
  std::vector<std::uint64_t> digests(static_cast<std::size_t>(count));
  const unsigned threads = std::max(1u, options.threads);
  const std::int64_t window = window_of(threads, block);
  Workers workers(static_cast<std::size_t>(window), threads, options);

  std::int64_t next_read = 0;
  for (std::int64_t next_write = 0; next_write < count; ++next_write) {
    for (; next_read < count && next_read - next_write < window; ++next_read) {
      Slot& s = workers.slot(next_read);
      s.index = order[static_cast<std::size_t>(next_read)];
      try {
        s.block.resize(static_cast<std::size_t>(format::block_len(orig_size, block, s.index)));
      } catch (const std::bad_alloc&) {
        *error = "out of memory";
        for (std::int64_t k = next_write; k < next_read; ++k) workers.wait(k);
        return false;
      }
      if (!read(static_cast<std::uint64_t>(s.index) * static_cast<std::uint64_t>(block),
                s.block.data(), s.block.size())) {
        *error = "read error: " + errno_text();
        // Let submitted blocks finish before their slots go away.
        for (std::int64_t k = next_write; k < next_read; ++k) workers.wait(k);
        return false;
      }
      workers.submit(next_read);
    }
    Slot& s = workers.wait(next_write);
    if (s.failed) {
      *error = "out of memory";
      for (std::int64_t k = next_write + 1; k < next_read; ++k) workers.wait(k);
      return false;
    }
    if (!emit(s, next_write, write, sum)) {
      *error = "write error: " + errno_text();
      for (std::int64_t k = next_write + 1; k < next_read; ++k) workers.wait(k);
      return false;
    }
    digests[static_cast<std::size_t>(s.index)] = s.digest;
  }
  sum.checksum = file_checksum(digests);
  if (announced) {
    // The header went out first: the blocks read must be those it describes.
    if (sum.checksum != announced->checksum) {
      *error = "the input changed while it was read";
      return false;
    }
    return true;
  }
  put_checksum(header, sum.checksum);
  if (!rewrite_header(header.data(), header.size())) {
    *error = "write error: " + errno_text();
    return false;
  }
  return true;
}

std::array<std::uint8_t, format::kHeaderSize> provisional_header(const WriterOptions& options) {
  auto header = make_header(0, options);
  std::fill(header.begin() + 1, header.begin() + 4, 0);
  return header;
}

bool write_stream(const ReadNext& read, const WriteOut& write, const RewriteHeader& rewrite_header,
                  const std::optional<StreamFacts>& announced, const WriterOptions& options,
                  WriteSummary* summary, std::string* error) {
  WriteSummary local;
  WriteSummary& sum = summary != nullptr ? *summary : local;
  sum = {};
  // The size is not known before the blocks are cut: a stream takes its level's full block.
  WriterOptions fixed = options;
  fixed.block_mib = block_mib_for(std::nullopt, options.level, options.block_mib);
  if (*fixed.block_mib == 0 || *fixed.block_mib > kMaxBlockMib) {
    *error = "block size must be 1 to 2047 MiB";
    return false;
  }
  auto header = provisional_header(fixed);
  if (announced) {
    header = make_header(announced->orig_size, fixed);
    put_checksum(header, announced->checksum);
  }
  if (!write(header.data(), header.size())) {
    *error = "write error: " + errno_text();
    return false;
  }
  sum.out_bytes = header.size();

  const std::int64_t block = format::block_size(*fixed.block_mib);
  const unsigned threads = std::max(1u, options.threads);
  const std::int64_t window = window_of(threads, block);
  Workers workers(static_cast<std::size_t>(window), threads, options);
  std::vector<std::uint64_t> digests;
  std::int64_t total = 0;
  bool ended = false;
  std::int64_t next_read = 0;
  const auto fail = [&](std::string text, std::int64_t from) {
    *error = std::move(text);
    // Submitted blocks finish before their slots go away.
    for (std::int64_t k = from; k < next_read; ++k) workers.wait(k);
    return false;
  };
  for (std::int64_t next_write = 0;; ++next_write) {
    while (!ended && next_read - next_write < window) {
      Slot& s = workers.slot(next_read);
      try {
        s.block.resize(static_cast<std::size_t>(block));
      } catch (const std::bad_alloc&) {
        return fail("out of memory", next_write);
      }
      const std::int64_t got = read(s.block.data(), s.block.size());
      if (got < 0) return fail("read error: " + errno_text(), next_write);
      ended = got < block;
      if (got == 0) break;
      s.block.resize(static_cast<std::size_t>(got));
      s.index = next_read;
      total += got;
      workers.submit(next_read++);
    }
    if (next_write == next_read) break;
    Slot& s = workers.wait(next_write);
    if (s.failed) return fail("out of memory", next_write + 1);
    if (!emit(s, next_write, write, sum)) return fail("write error: " + errno_text(), next_write + 1);
    digests.push_back(s.digest);
  }
  sum.in_bytes = static_cast<std::uint64_t>(total);
  sum.checksum = file_checksum(digests);
  if (announced) {
    // The header went out first: the bytes read now must be those it describes.
    if (total != announced->orig_size || sum.checksum != announced->checksum) {
      *error = "the input changed while it was read";
      return false;
    }
    return true;
  }
  header = make_header(total, fixed);
  put_checksum(header, sum.checksum);
  if (!rewrite_header(header.data(), header.size())) {
    *error = "write error: " + errno_text();
    return false;
  }
  return true;
}

StreamDigest::StreamDigest(std::uint16_t block_mib)
    : block_(static_cast<std::uint64_t>(block_mib) << 20),
      state_(XXH3_createState(), [](void* state) { XXH3_freeState(static_cast<XXH3_state_t*>(state)); }) {
  if (state_ == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset(static_cast<XXH3_state_t*>(state_.get()));
}

void StreamDigest::add(const std::uint8_t* data, std::size_t len) {
  auto* state = static_cast<XXH3_state_t*>(state_.get());
  total_ += static_cast<std::int64_t>(len);
  while (len > 0) {
    const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(len, block_ - in_block_));
    XXH3_64bits_update(state, data, take);
    data += take;
    len -= take;
    in_block_ += take;
    if (in_block_ == block_) {
      digests_.push_back(XXH3_64bits_digest(state));
      XXH3_64bits_reset(state);
      in_block_ = 0;
    }
  }
}

StreamFacts StreamDigest::facts() const {
  std::vector<std::uint64_t> all = digests_;
  if (in_block_ > 0) all.push_back(XXH3_64bits_digest(static_cast<XXH3_state_t*>(state_.get())));
  return {total_, file_checksum(all)};
}

std::vector<std::uint8_t> compress_bytes(const std::uint8_t* data, std::size_t n,
                                         const WriterOptions& options) {
  std::vector<std::uint8_t> out;
  std::string error;
  write_compressed(
      static_cast<std::int64_t>(n),
      [&](std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
        if (len > 0) std::memcpy(dst, data + offset, len);
        return true;
      },
      [&](const std::uint8_t* p, std::size_t len) {
        out.insert(out.end(), p, p + len);
        return true;
      },
      [&](const std::uint8_t* header, std::size_t len) {
        std::copy(header, header + len, out.begin());
        return true;
      },
      options, nullptr, &error);
  return out;
}

bool compress_file(const std::string& in_path, const std::string& out_path,
                   const WriterOptions& options, WriteSummary* summary, std::string* error) {
  int in = platform::open_for_reading(in_path);
  if (in < 0) {
    *error = "cannot open '" + in_path + "': " + errno_text();
    return false;
  }
  const platform::FileStatus in_stat = platform::descriptor_status(in);
  if (!in_stat.ok || in_stat.kind != platform::FileKind::regular) {
    *error = "'" + in_path + "' is not a regular file";
    platform::close_file(in);
    return false;
  }
  const platform::FileStatus out_stat = platform::file_status(out_path);
  if (out_stat.ok && out_stat.device == in_stat.device && out_stat.inode == in_stat.inode) {
    *error = "input and output are the same file";
    platform::close_file(in);
    return false;
  }
  std::FILE* out = std::fopen(out_path.c_str(), "wb");
  if (out == nullptr) {
    *error = "cannot create '" + out_path + "': " + errno_text();
    platform::close_file(in);
    return false;
  }
  // A large stdio buffer: records are 5 bytes and blocks about a MiB.
  std::vector<char> out_buffer(1 << 20);
  std::setvbuf(out, out_buffer.data(), _IOFBF, out_buffer.size());

  auto read = [&](std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
    const std::int64_t got = platform::read_full_at(in, offset, dst, len);
    if (got >= 0 && static_cast<std::size_t>(got) < len) errno = EIO;  // the input shrank while it was read
    return got >= 0 && static_cast<std::size_t>(got) == len;
  };
  auto write = [&](const std::uint8_t* p, std::size_t len) {
    return len == 0 || std::fwrite(p, 1, len, out) == len;
  };
  bool ok = false;
  try {
    auto rewrite_header = [&](const std::uint8_t* header, std::size_t len) {
      return std::fflush(out) == 0 && platform::seek_stream(out, 0) == 0 && std::fwrite(header, 1, len, out) == len;
    };
    ok = write_compressed(static_cast<std::int64_t>(in_stat.size), read, write, rewrite_header, options,
                          summary, error);
  } catch (const std::exception& e) {  // memory or threads could not be had
    *error = e.what();
  }
  platform::close_file(in);
  if (std::fclose(out) != 0 && ok) {
    *error = "write error: " + errno_text();
    ok = false;
  }
  if (!ok) std::remove(out_path.c_str());
  return ok;
}

}  // namespace uq::enc
