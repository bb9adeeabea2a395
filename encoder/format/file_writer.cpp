// The file writer: reads the input block by block, filters and codes the blocks on worker
// threads, and writes header, records and blocks in record order.
#include "format/file_writer.h"

#include "unquarvex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace

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
  store_le(&h[18], options.block_mib, 2);
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
                      WriteSummary* summary, std::string* error) {
  WriteSummary local;
  WriteSummary& sum = summary != nullptr ? *summary : local;
  sum = {};
  sum.in_bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(orig_size, 0));
  if (options.block_mib == 0 || options.block_mib > kMaxBlockMib) {
    *error = "block size must be 1 to 2047 MiB";
    return false;
  }
  auto header = make_header(orig_size, options);
  if (!write(header.data(), header.size())) {
    *error = "write error: " + errno_text();
    return false;
  }
  sum.out_bytes = header.size();

  const std::int64_t block = format::block_size(options.block_mib);
  const std::int64_t count = format::block_count(orig_size, block);
  const std::vector<std::int64_t> order = record_order(count, options.shuffle_seed);
  std::vector<std::uint64_t> digests(static_cast<std::size_t>(count));
  const unsigned threads = std::max(1u, options.threads);
  // Two blocks per thread keep every worker busy while the oldest one waits to be written; past
  // 64 MiB a block a single spare one bounds the memory instead.
  const auto window = static_cast<std::int64_t>(
      threads + (block <= format::block_size(kLargeBlockMib) ? threads : 1));
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
    auto record = make_record(static_cast<std::uint32_t>(s.payload.size()), s.index, next_write);
    if (!write(record.data(), record.size()) || !write(s.payload.data(), s.payload.size())) {
      *error = "write error: " + errno_text();
      for (std::int64_t k = next_write + 1; k < next_read; ++k) workers.wait(k);
      return false;
    }
    sum.out_bytes += record.size() + s.payload.size();
    ++sum.blocks;
    if (s.payload.size() == s.block.size()) ++sum.stored_blocks;
    digests[static_cast<std::size_t>(s.index)] = s.digest;
  }
  sum.checksum = file_checksum(digests);
  std::copy(std::begin(kChecksumTag), std::end(kChecksumTag), header.begin() + kChecksumAt);
  store_le(&header[kChecksumAt + 4], sum.checksum, 8);
  if (!rewrite_header(header.data(), header.size())) {
    *error = "write error: " + errno_text();
    return false;
  }
  return true;
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
  int in = ::open(in_path.c_str(), O_RDONLY);
  if (in < 0) {
    *error = "cannot open '" + in_path + "': " + errno_text();
    return false;
  }
  struct stat in_stat {};
  if (::fstat(in, &in_stat) != 0 || !S_ISREG(in_stat.st_mode)) {
    *error = "'" + in_path + "' is not a regular file";
    ::close(in);
    return false;
  }
  struct stat out_stat {};
  if (::stat(out_path.c_str(), &out_stat) == 0 && out_stat.st_dev == in_stat.st_dev &&
      out_stat.st_ino == in_stat.st_ino) {
    *error = "input and output are the same file";
    ::close(in);
    return false;
  }
  std::FILE* out = std::fopen(out_path.c_str(), "wb");
  if (out == nullptr) {
    *error = "cannot create '" + out_path + "': " + errno_text();
    ::close(in);
    return false;
  }
  // A large stdio buffer: records are 5 bytes and blocks about a MiB.
  std::vector<char> out_buffer(1 << 20);
  std::setvbuf(out, out_buffer.data(), _IOFBF, out_buffer.size());

  auto read = [&](std::uint64_t offset, std::uint8_t* dst, std::size_t len) {
    std::size_t got = 0;
    while (got < len) {
      ssize_t r = ::pread(in, dst + got, len - got, static_cast<off_t>(offset + got));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        if (r == 0) errno = EIO;  // the input shrank while it was read
        return false;
      }
      got += static_cast<std::size_t>(r);
    }
    return true;
  };
  auto write = [&](const std::uint8_t* p, std::size_t len) {
    return len == 0 || std::fwrite(p, 1, len, out) == len;
  };
  bool ok = false;
  try {
    auto rewrite_header = [&](const std::uint8_t* header, std::size_t len) {
      return std::fflush(out) == 0 && fseeko(out, 0, SEEK_SET) == 0 && std::fwrite(header, 1, len, out) == len;
    };
    ok = write_compressed(static_cast<std::int64_t>(in_stat.st_size), read, write, rewrite_header, options,
                          summary, error);
  } catch (const std::exception& e) {  // memory or threads could not be had
    *error = e.what();
  }
  ::close(in);
  if (std::fclose(out) != 0 && ok) {
    *error = "write error: " + errno_text();
    ok = false;
  }
  if (!ok) std::remove(out_path.c_str());
  return ok;
}

}  // namespace uq::enc
