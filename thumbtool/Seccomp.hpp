// System-call filters for the processes that handle untrusted data. Both are allow lists: a call
// that is not named is refused with EPERM (so a library probing for a newer call falls back),
// and the calls that reach into other processes or the kernel's inner workings kill the caller.
// The lists were made from what the decoders and thumbnailers really call (traced on ordinary
// and hostile documents); see the tables in Seccomp.cpp for why each call is there.
#pragma once

#include <linux/filter.h>

#include <vector>

namespace thumbtool {

// The render worker's filter as a BPF program, made ahead of loading it: building costs about a
// millisecond, which a worker spends while thumbtool sets up its run. Call in the worker (the
// program names its process). The worker may read files, map memory, start threads, and write
// only to descriptors it already holds: it opens nothing for writing, changes no file, starts no
// program or process, opens no socket, makes no IPC object, signals only itself, changes no
// limit or priority, and its ioctl()s are limited to asking whether a descriptor is a terminal.
// Empty when it could not be made.
std::vector<sock_filter> renderWorkerFilter();

// Sets no_new_privs and loads the program into the calling thread; false when either fails (an
// empty program always fails).
bool loadFilter(const std::vector<sock_filter>& program);

// The thumbnailer filter as a BPF program in an anonymous file, positioned at its start, for
// bubblewrap's --seccomp. Thumbnailers are whole programs (a shell, an interpreter, a video
// decoder), so they may start processes and write inside their sandbox, but get no IPC objects,
// no sockets but local ones, no new namespaces or mounts, no tracing, no resource or priority
// changes of other processes, and no ioctl beyond terminal and descriptor queries. The
// descriptor is close-on-exec; -1 on failure.
int thumbnailerFilterFile();

}  // namespace thumbtool
