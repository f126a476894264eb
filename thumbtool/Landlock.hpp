// The render worker's second wall, beside its system-call filter: a Landlock domain (kernel 5.13
// and later). Inside one, a process can no longer trace or read the memory of any process
// outside it (/proc/PID/mem, environ, process_vm_readv), whatever their users, and it can
// change nothing in the file system.
#pragma once

namespace thumbtool {

// Puts the calling process (and its future threads) in a new Landlock domain that allows no
// change to any file, no TCP and, where the kernel can scope them, no signals or abstract
// sockets beyond the domain. Needs no_new_privs, which it sets. False when the kernel has no
// Landlock: the caller goes on without it, as the filter alone still holds.
bool enterLandlockDomain();

}  // namespace thumbtool
