// What quarvex needs to write a file under a temporary name beside its final one and then put
// it in place: the temporary file itself, its permissions and times, the rename that never
// replaces (and the one that does, for --force), opening an input, and the removal of temporary
// files when the user interrupts the run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file_status.h"

namespace uq::platform {

// Creates the file `path` for reading and writing, readable and writable by its owner alone,
// failing with EEXIST when something is there already. Gives the descriptor, or -1 with errno set.
int create_new_file(const std::string& path);

// Opens the existing file `path` for reading, without waiting on a FIFO's writer. Gives the
// descriptor, or -1 with errno set.
int open_for_reading(const std::string& path);

// The permission bits a new file gets: 0666 less the process's umask where there is one.
std::uint32_t new_file_mode();

// Sets the permission bits of the open file `fd` (chmod's bits). Where files have a read-only
// flag instead (Windows), a mode without the owner's write bit sets it. Gives 0 or the errno.
int set_file_mode(int fd, std::uint32_t mode);

// Sets the last access and modification times of the open file `fd` (`times` holds the two, in
// that order; null: now). Gives 0 or the errno.
int set_file_times(int fd, const FileTime* times);

// Renames `from` onto `to` only if nothing is at `to` (EEXIST then), atomically: a name made
// meanwhile by someone else is kept. Gives 0 or the errno.
int rename_without_replacing(const std::string& from, const std::string& to);

// Renames `from` onto `to`, replacing the file there, even one marked read-only. Gives 0 or the
// errno.
int rename_replacing(const std::string& from, const std::string& to);

// Calls `cleanup` when the user interrupts the process (SIGINT, SIGTERM or SIGHUP; on Windows a
// console's Ctrl-C, Ctrl-Break or close), which then ends as it would have without it. `cleanup`
// may only call remove_file_at_once. Call once.
void on_interruption(void (*cleanup)());

// Removes the file `path`, in a way safe in `cleanup` above.
void remove_file_at_once(const char* path);

// For tests where nothing can interrupt the process from outside (Wine delivers no console event
// to a child): does what the user's interruption does, the cleanup and then the end, SIGINT's or
// Ctrl-C's.
[[noreturn]] void interrupt_as_the_user_would();

}  // namespace uq::platform
