// The temporary file and its rename: a new file beside the final name, buffered writes, the
// input's mode and times, then an atomic rename (one that never replaces without --force, so
// that a file made meanwhile by someone else is kept too).
#include "safe_output.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/file_sync.h"
#include "platform/output_file.h"
#include "platform/paths.h"
#include "platform/replaced_file.h"
#include "platform/streams.h"

namespace uq::suite {

namespace {

constexpr std::size_t kBufferBytes = 1 << 20;  // records are 5 bytes, blocks about a MiB
constexpr std::size_t kNameMax = 255;

// The temporary files of the archives in progress, for the signal handler: one slot for each
// archive that may be written at once (small files are compressed several at a time).
constexpr int kSlots = 128;
struct TempSlot {
  char path[platform::kMaxPathLength + 1];
  volatile std::sig_atomic_t armed;
};
TempSlot temp_slots[kSlots];
std::mutex temp_slots_mutex;

int arm(const std::string& path) {
  if (path.size() >= sizeof temp_slots[0].path) return -1;  // can't happen: the create would have failed
  std::lock_guard lock(temp_slots_mutex);
  for (int i = 0; i < kSlots; ++i) {
    if (temp_slots[i].armed != 0) continue;
    std::memcpy(temp_slots[i].path, path.c_str(), path.size() + 1);
    temp_slots[i].armed = 1;
    return i;
  }
  return -1;
}

void disarm(int slot) {
  if (slot < 0) return;
  std::lock_guard lock(temp_slots_mutex);
  temp_slots[slot].armed = 0;
}

void remove_armed_files() {
  for (TempSlot& slot : temp_slots) {
    if (slot.armed != 0) platform::remove_file_at_once(slot.path);
  }
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// Six letters or digits for a temporary name, as mkstemp makes them: 62^6 names, so that a run
// meets a taken one only where someone made it on purpose, and tries another.
constexpr int kNameAttempts = 100;
std::string random_letters() {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 random{std::random_device{}()};
  std::string letters(6, 'X');
  for (char& c : letters) c = kLetters[random() % (sizeof kLetters - 1)];
  return letters;
}

// What --force may replace: a regular file, or a symbolic link to one or to nothing. A link to a
// device or a directory (/dev/stdout, say) stands for something that is not an archive.
bool replaceable(const std::string& path, const platform::FileStatus& existing, std::string* error) {
  if (existing.kind == platform::FileKind::regular && !existing.link) return true;
  if (existing.link) {
    const platform::FileStatus target = platform::file_status(path);
    if (target.ok ? target.kind == platform::FileKind::regular : target.err == ENOENT) return true;
    *error = quoted(path) + " is a link to something other than a regular file; not replaced";
    return false;
  }
  *error = quoted(path) + " exists and is not a regular file; not replaced";
  return false;
}

}  // namespace

void remove_temporary_files_on_signals() { platform::on_interruption(remove_armed_files); }

bool SafeOutput::open(const std::string& final_path, bool force, const platform::FileStatus* input,
                      std::string* error) {
  final_ = final_path;
  force_ = force;
  const std::size_t slash = final_path.find_last_of(platform::kDirSeparators);
  const std::string base = slash == std::string::npos ? final_path : final_path.substr(slash + 1);
  if (base.empty() || base == "." || base == "..") {
    *error = quoted(final_path) + " names a directory, not a file";
    return false;
  }

  if (const platform::FileStatus existing = platform::link_status(final_path); existing.ok) {
    if (input != nullptr && input->ok && existing.device == input->device && existing.inode == input->inode) {
      *error = quoted(final_path) + " is the input itself; not replaced";
      return false;
    }
    if (!force) {
      *error = quoted(final_path) + " exists; not replaced (-f replaces it)";
      return false;
    }
    if (!replaceable(final_path, existing, error)) return false;
    replaces_ = true;
  } else if (existing.err != ENOENT) {
    *error = "cannot create " + quoted(final_path) + ": " + std::strerror(existing.err);
    return false;
  }

  // ".NAME.XXXXXX" tells a leftover's origin; a name too long for that gets a short one. The
  // slot holds the name before the file is made under it, so that an interruption at any moment
  // finds every temporary file there is.
  const std::string stem = (slash == std::string::npos ? "" : final_path.substr(0, slash + 1)) +
                           (base.size() + 8 <= kNameMax ? "." + base + "." : std::string(".quarvex."));
  int err = EEXIST;
  for (int attempt = 0; attempt < kNameAttempts && err == EEXIST; ++attempt) {
    const std::string path = stem + random_letters();
    const int slot = arm(path);
    const int fd = platform::create_new_file(path);
    if (fd >= 0) {
      fd_ = fd;
      temp_ = path;
      slot_ = slot;
      buffer_.reserve(kBufferBytes);
      return true;
    }
    err = errno;
    disarm(slot);
  }
  *error = "cannot create " + quoted(final_path) + ": " + std::strerror(err);
  return false;
}

bool SafeOutput::write_all(const std::uint8_t* data, std::size_t len) {
  if (const int err = platform::write_full(fd_, data, len); err != 0) {
    errno = err;
    return false;
  }
  return true;
}

bool SafeOutput::flush() {
  const bool ok = write_all(buffer_.data(), buffer_.size());
  buffer_.clear();
  return ok;
}

bool SafeOutput::write(const std::uint8_t* data, std::size_t len) {
  if (fd_ < 0) return false;
  if (buffer_.size() + len > kBufferBytes && !flush()) return false;
  if (len >= kBufferBytes) return write_all(data, len);
  buffer_.insert(buffer_.end(), data, data + len);
  return true;
}

bool SafeOutput::rewrite_start(const std::uint8_t* data, std::size_t len) {
  if (fd_ < 0 || !flush()) return false;
  if (const int err = platform::write_full_at(fd_, 0, data, len); err != 0) {
    errno = err;
    return false;
  }
  return true;
}

int SafeOutput::write_at(std::uint64_t offset, const std::uint8_t* data, std::size_t len) {
  return fd_ < 0 ? EBADF : platform::write_at(fd_, offset, data, len);
}

int SafeOutput::extend_to(std::uint64_t size) { return fd_ < 0 ? EBADF : platform::extend_file(fd_, size); }

bool SafeOutput::commit(const platform::FileStatus& attributes, bool durable, std::string* error) {
  const platform::FileTime times[2] = {attributes.accessed, attributes.modified};
  durable_ = durable_ || durable;
  return commit(attributes.mode, times, error);
}

bool SafeOutput::commit(std::uint32_t mode, const platform::FileTime* times, std::string* error) {
  const auto fail = [&](const std::string& what) {
    *error = what + " " + quoted(final_) + ": " + std::strerror(errno);
    discard();
    return false;
  };
  if (fd_ < 0) return false;
  if (!flush()) return fail("write error on");
  if ((errno = platform::set_file_mode(fd_, mode & 0777)) != 0) return fail("cannot set the mode of");
  if ((errno = platform::set_file_times(fd_, times)) != 0) return fail("cannot set the times of");
  // Only an output that replaces another goes to the disk before the rename: after a crash the
  // old one must still be there if the new one is not. So does one whose source is removed next.
  if ((replaces_ || durable_) && (errno = platform::sync_file(fd_)) != 0) return fail("write error on");
  const int fd = fd_;
  fd_ = -1;
  if ((errno = platform::close_file(fd)) != 0) return fail("write error on");
  if (!install(error)) return false;
  if (durable_) {
    const std::size_t slash = final_.find_last_of(platform::kDirSeparators);
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? final_.substr(0, 1) : final_.substr(0, slash);
    if (const int err = platform::sync_directory(dir)) {
      *error = "cannot flush the directory of " + quoted(final_) + ": " + std::strerror(err);
      return false;
    }
  }
  return true;
}

bool SafeOutput::install(std::string* error) {
  if (!force_) {
    // Never over a name that appeared since open().
    if (const int err = platform::rename_without_replacing(temp_, final_); err != 0) {
      *error = err == EEXIST ? quoted(final_) + " exists; not replaced (-f replaces it)"
                             : "cannot create " + quoted(final_) + ": " + std::strerror(err);
      discard();
      return false;
    }
    renamed();
    return true;
  }
  if (const platform::FileStatus existing = platform::link_status(final_);
      existing.ok && !replaceable(final_, existing, error)) {
    discard();
    return false;
  }
  if (const int err = platform::rename_replacing(temp_, final_); err != 0) {
    *error = "cannot create " + quoted(final_) + ": " + std::strerror(err);
    discard();
    return false;
  }
  renamed();
  return true;
}

void SafeOutput::renamed() {
  disarm(slot_);
  slot_ = -1;
  temp_.clear();
}

void SafeOutput::discard() {
  if (fd_ >= 0) {
    platform::close_file(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    platform::remove_file(temp_);  // before the slot is freed: a signal in between finds it gone
    disarm(slot_);
    slot_ = -1;
    temp_.clear();
  }
  buffer_.clear();
}

}  // namespace uq::suite
