// System-call filters for the processes that handle untrusted data. Both are allow lists: a call
// that is not named is refused with EPERM (so a library probing for a newer call falls back),
// and the calls that reach into other processes or the kernel's inner workings kill the caller.
// The lists were made from what the decoders and thumbnailers really call (traced on ordinary
// and hostile documents); see the tables in Seccomp.cpp for why each call is there.
#pragma once

namespace thumbtool {

// Loads the render worker's filter into the calling process (and sets no_new_privs). The worker
// may read files, map memory, start threads, and write only to descriptors it already holds: it
// opens nothing for writing, changes no file, starts no program or process, opens no socket,
// makes no IPC object, signals only itself, changes no limit or priority, and its ioctl()s are
// limited to asking whether a descriptor is a terminal. False when the filter could not be
// loaded.
bool confineRenderWorker();

// The thumbnailer filter as a BPF program in an anonymous file, positioned at its start, for
// bubblewrap's --seccomp. Thumbnailers are whole programs (a shell, an interpreter, a video
// decoder), so they may start processes and write inside their sandbox, but get no IPC objects,
// no sockets but local ones, no new namespaces or mounts, no tracing, no resource or priority
// changes of other processes, and no ioctl beyond terminal and descriptor queries. The
// descriptor is close-on-exec; -1 on failure.
int thumbnailerFilterFile();

}  // namespace thumbtool
