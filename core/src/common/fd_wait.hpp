#pragma once

#include "qel/error.hpp"

// Waiting for a file that is not a regular file (a FIFO, a pipe, a socket, a
// device), whose other end may keep a read or a write waiting for as long as
// it likes. A signal taken by another thread of the process interrupts no
// system call of this one; waiting in slices of kSliceMilliseconds and asking
// the thread's cancellation check after each lets the check see it all the
// same.
namespace qel::fd_wait {

inline constexpr int kSliceMilliseconds = 100;

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or has a hang-up or
// error that its next read or write reports; Error::cancelled() when the
// thread's check says stop.
Status until_ready(int fd, short events);

// Waits one slice, then asks the check: for a retry that has nothing to wait on.
Status one_slice();

}  // namespace qel::fd_wait
