// System-call filters for the processes that handle untrusted data. Both start from "allow" and
// refuse (EPERM) what a decoder or a thumbnailer never needs, so libraries that probe for a
// feature fall back instead of crashing.
#pragma once

namespace thumbtool {

// Loads the render worker's filter into the calling process (and sets no_new_privs). Besides
// the calls the thumbnailer filter refuses, the worker may not open files for writing or change
// the file system, start programs or processes (threads stay allowed), open any socket, or
// signal any process but itself. False when the filter could not be loaded.
bool confineRenderWorker();

// The thumbnailer filter as a BPF program in an anonymous file, positioned at its start, for
// bubblewrap's --seccomp: no sockets but local ones (the sandbox has no network anyway), no new
// namespaces, mounts, tracing, kernel keyrings, BPF, performance counters, io_uring or terminal
// injection. The descriptor is close-on-exec; -1 on failure.
int thumbnailerFilterFile();

}  // namespace thumbtool
