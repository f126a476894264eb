#include "Seccomp.hpp"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>

namespace thumbtool {

namespace {

struct FilterRelease {
  void operator()(void* context) const noexcept { seccomp_release(context); }
};
using FilterPtr = std::unique_ptr<void, FilterRelease>;

const std::uint32_t kAllow = SCMP_ACT_ALLOW;
const std::uint32_t kKill = SCMP_ACT_KILL_PROCESS;
// clone3 and openat2 pass their flags in memory a filter cannot read: claiming they do not exist
// makes the C library fall back to clone and openat, whose flags can be checked.
const std::uint32_t kMissing = SCMP_ACT_ERRNO(ENOSYS);
// An ioctl that is not allowed looks like one the descriptor does not support.
const std::uint32_t kNotSupported = SCMP_ACT_ERRNO(ENOTTY);

// A call this architecture lacks (EDOM), or one this libseccomp does not know by name (its
// number is then negative), needs no rule: it is refused by default.
bool add(void* filter, std::uint32_t action, int syscall,
         std::initializer_list<scmp_arg_cmp> conditions = {}) {
  if (syscall < 0) {
    return true;
  }
  int rc = seccomp_rule_add_array(filter, action, syscall, static_cast<unsigned>(conditions.size()),
                                  conditions.begin());
  return rc == 0 || rc == -EDOM;
}

bool addAll(void* filter, std::uint32_t action, std::initializer_list<int> syscalls) {
  for (int syscall : syscalls) {
    if (!add(filter, action, syscall)) {
      return false;
    }
  }
  return true;
}

bool allowWhenArgument(void* filter, int syscall, unsigned argument,
                       std::initializer_list<scmp_datum_t> values) {
  for (scmp_datum_t value : values) {
    if (!add(filter, kAllow, syscall, {SCMP_CMP(argument, SCMP_CMP_EQ, value)})) {
      return false;
    }
  }
  return true;
}

// Calls that reach into other processes' memory or into the kernel itself: nothing that renders
// a picture makes them, so a process that tries is taken to be compromised.
bool killOnKernelSurface(void* filter) {
  return addAll(filter, kKill,
                {SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
                 SCMP_SYS(pidfd_getfd), SCMP_SYS(kexec_load), SCMP_SYS(kexec_file_load),
                 SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(delete_module),
                 SCMP_SYS(bpf), SCMP_SYS(userfaultfd), SCMP_SYS(perf_event_open),
                 SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key),
                 SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter), SCMP_SYS(io_uring_register),
                 SCMP_SYS(iopl), SCMP_SYS(ioperm)});
}

// What every process of a decoder needs to run at all: memory, reading what it holds or may
// open, writing to descriptors it holds, threads, its own signals, clocks and facts about itself.
bool allowRunning(void* filter) {
  bool ok = addAll(
      filter, kAllow,
      {// Memory (mapping shared libraries, the allocator, decoders' buffers).
       SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
       SCMP_SYS(msync), SCMP_SYS(mincore), SCMP_SYS(get_mempolicy), SCMP_SYS(set_mempolicy),
       // Reading and inspecting files and descriptors (libraries, fonts, MIME and icon data).
       SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(preadv), SCMP_SYS(preadv2),
       SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(close_range), SCMP_SYS(fstat), SCMP_SYS(stat),
       SCMP_SYS(lstat), SCMP_SYS(newfstatat), SCMP_SYS(statx), SCMP_SYS(statfs),
       SCMP_SYS(fstatfs), SCMP_SYS(getdents64), SCMP_SYS(readlink), SCMP_SYS(readlinkat),
       SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2), SCMP_SYS(fadvise64),
       SCMP_SYS(readahead), SCMP_SYS(getcwd), SCMP_SYS(dup), SCMP_SYS(dup2), SCMP_SYS(dup3),
       SCMP_SYS(umask),
       // Writing to descriptors already held (the reply file, the error stream, pipes).
       SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pwrite64), SCMP_SYS(pwritev),
       // Waiting on its own descriptors; wake-up objects of its own (GLib's main context).
       SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(select), SCMP_SYS(pselect6),
       SCMP_SYS(epoll_create1), SCMP_SYS(epoll_ctl), SCMP_SYS(epoll_wait), SCMP_SYS(epoll_pwait),
       SCMP_SYS(eventfd2), SCMP_SYS(pipe2),
       // Threads and their synchronisation.
       SCMP_SYS(futex), SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(set_tid_address),
       SCMP_SYS(exit), SCMP_SYS(exit_group), SCMP_SYS(sched_yield), SCMP_SYS(sched_getaffinity),
       // Its own signal handling (the C library, sanitizers, abort()).
       SCMP_SYS(rt_sigaction), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigreturn),
       SCMP_SYS(sigaltstack),
       // Clocks and sleeping.
       SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday), SCMP_SYS(time),
       SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep),
       // Facts about itself and the machine (thread pools size themselves by memory and cores).
       SCMP_SYS(getpid), SCMP_SYS(getppid), SCMP_SYS(gettid), SCMP_SYS(getuid), SCMP_SYS(geteuid),
       SCMP_SYS(getgid), SCMP_SYS(getegid), SCMP_SYS(getresuid), SCMP_SYS(getresgid),
       SCMP_SYS(getgroups), SCMP_SYS(uname), SCMP_SYS(sysinfo), SCMP_SYS(getrandom),
       SCMP_SYS(getrusage), SCMP_SYS(times), SCMP_SYS(getrlimit), SCMP_SYS(getcpu)});
  ok = ok && add(filter, kMissing, SCMP_SYS(clone3));
  // Reading its own limits only: prlimit64(0, resource, NULL, old).
  ok = ok && add(filter, kAllow, SCMP_SYS(prlimit64),
                 {SCMP_A0(SCMP_CMP_EQ, 0), SCMP_A2(SCMP_CMP_EQ, 0)});
  // Advice about its own pages; not the kinds that poison memory or need privileges.
  ok = ok && allowWhenArgument(filter, SCMP_SYS(madvise), 2,
                               {MADV_NORMAL, MADV_RANDOM, MADV_SEQUENTIAL, MADV_WILLNEED,
                                MADV_DONTNEED, MADV_FREE, MADV_DONTFORK, MADV_DOFORK,
                                MADV_HUGEPAGE, MADV_NOHUGEPAGE, MADV_DONTDUMP, MADV_DODUMP});
  // Thread names, sanitizers' dumpable check, the C library naming its anonymous mappings.
  ok = ok && allowWhenArgument(filter, SCMP_SYS(prctl), 0,
                               {PR_SET_NAME, PR_GET_NAME, PR_GET_DUMPABLE, 0x53564d41 /* VMA */});
  // Descriptor flags and file locks; not F_SETOWN/F_SETSIG (signals to other processes),
  // leases or directory notification.
  ok = ok && allowWhenArgument(filter, SCMP_SYS(fcntl), 1,
                               {F_DUPFD, F_DUPFD_CLOEXEC, F_GETFD, F_SETFD, F_GETFL, F_SETFL,
                                F_GETLK, F_SETLK, F_SETLKW, F_OFD_GETLK, F_OFD_SETLK, F_OFD_SETLKW,
                                F_GET_SEALS, F_ADD_SEALS});
  return ok && killOnKernelSurface(filter);
}

// ioctl: whether a descriptor is a terminal, and (for thumbnailers) plain descriptor queries.
// Everything else, FS_IOC_SETFLAGS and terminal injection included, fails as unsupported.
bool limitIoctl(void* filter, bool descriptorQueries) {
  bool ok = add(filter, kNotSupported, SCMP_SYS(ioctl));
  std::initializer_list<scmp_datum_t> worker = {TCGETS};
  std::initializer_list<scmp_datum_t> thumbnailer = {TCGETS, TIOCGWINSZ, FIONREAD,
                                                     FIONBIO, FIOCLEX,   FIONCLEX};
  for (scmp_datum_t request : descriptorQueries ? thumbnailer : worker) {
    ok = ok && add(filter, kAllow, SCMP_SYS(ioctl),
                   {SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffU, request)});
  }
  return ok;
}

// Namespace flags on clone: a new namespace is never a decoder's business.
constexpr scmp_datum_t kNamespaceFlags = CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWPID |
                                         CLONE_NEWNET | CLONE_NEWUTS | CLONE_NEWIPC |
                                         CLONE_NEWCGROUP | CLONE_NEWTIME;

// Opening for reading only, on each call that opens.
bool allowReadingOpens(void* filter) {
  const scmp_datum_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
  bool ok = add(filter, kAllow, SCMP_SYS(open), {SCMP_A1(SCMP_CMP_MASKED_EQ, writing, 0)});
  ok = ok && add(filter, kAllow, SCMP_SYS(openat), {SCMP_A2(SCMP_CMP_MASKED_EQ, writing, 0)});
  return ok && add(filter, kMissing, SCMP_SYS(openat2));
}

// What a program in the sandbox does besides decoding: start helpers and wait for them, write
// its picture and scratch files inside its own tmpfs, talk to its own children over local
// sockets, and set its own limits and priority.
bool allowProgramLife(void* filter) {
  bool ok = addAll(
      filter, kAllow,
      {// Starting programs (bubblewrap loads the filter just before the thumbnailer's exec).
       SCMP_SYS(execve), SCMP_SYS(execveat), SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(wait4),
       SCMP_SYS(waitid), SCMP_SYS(arch_prctl), SCMP_SYS(setpgid), SCMP_SYS(getpgid),
       SCMP_SYS(getpgrp), SCMP_SYS(setsid), SCMP_SYS(getsid), SCMP_SYS(chdir), SCMP_SYS(fchdir),
       // Signals: the sandbox has its own process namespace, so these reach only its own.
       SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(tkill), SCMP_SYS(rt_sigsuspend),
       SCMP_SYS(rt_sigtimedwait), SCMP_SYS(pause), SCMP_SYS(alarm), SCMP_SYS(setitimer),
       SCMP_SYS(getitimer), SCMP_SYS(timer_create), SCMP_SYS(timer_settime),
       SCMP_SYS(timer_gettime), SCMP_SYS(timer_delete), SCMP_SYS(timerfd_create),
       SCMP_SYS(timerfd_settime), SCMP_SYS(timerfd_gettime), SCMP_SYS(signalfd4),
       SCMP_SYS(membarrier), SCMP_SYS(getpriority),
       // Files inside the sandbox's writable tmpfs (what the sandbox binds read-only stays so).
       SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(creat), SCMP_SYS(rename), SCMP_SYS(renameat),
       SCMP_SYS(renameat2), SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(link),
       SCMP_SYS(linkat), SCMP_SYS(symlink), SCMP_SYS(symlinkat), SCMP_SYS(mkdir),
       SCMP_SYS(mkdirat), SCMP_SYS(rmdir), SCMP_SYS(mknod), SCMP_SYS(mknodat), SCMP_SYS(chmod),
       SCMP_SYS(fchmod), SCMP_SYS(fchmodat), SCMP_SYS(truncate), SCMP_SYS(ftruncate),
       SCMP_SYS(fallocate), SCMP_SYS(utimensat), SCMP_SYS(fsync), SCMP_SYS(fdatasync),
       SCMP_SYS(flock), SCMP_SYS(copy_file_range), SCMP_SYS(sendfile), SCMP_SYS(getxattr),
       SCMP_SYS(lgetxattr), SCMP_SYS(fgetxattr), SCMP_SYS(listxattr), SCMP_SYS(llistxattr),
       SCMP_SYS(flistxattr), SCMP_SYS(memfd_create), SCMP_SYS(inotify_init1),
       SCMP_SYS(inotify_add_watch), SCMP_SYS(inotify_rm_watch), SCMP_SYS(epoll_pwait2),
       SCMP_SYS(pipe), SCMP_SYS(setrlimit),
       // Local sockets among its own threads and children (the sandbox has no network).
       SCMP_SYS(socketpair), SCMP_SYS(connect), SCMP_SYS(bind), SCMP_SYS(listen),
       SCMP_SYS(accept4), SCMP_SYS(sendto), SCMP_SYS(recvfrom), SCMP_SYS(sendmsg),
       SCMP_SYS(recvmsg), SCMP_SYS(shutdown), SCMP_SYS(getsockopt), SCMP_SYS(setsockopt),
       SCMP_SYS(getsockname), SCMP_SYS(getpeername)});
  ok = ok && add(filter, kMissing, SCMP_SYS(openat2));
  ok = ok && add(filter, kAllow, SCMP_SYS(socket), {SCMP_A0(SCMP_CMP_EQ, AF_UNIX)});
  ok = ok && add(filter, kAllow, SCMP_SYS(clone),
                 {SCMP_A0(SCMP_CMP_MASKED_EQ, kNamespaceFlags, 0)});
  // Its own limits and priority (prlimit --nproc in the sandbox sets its own), nobody else's.
  ok = ok && add(filter, kAllow, SCMP_SYS(prlimit64), {SCMP_A0(SCMP_CMP_EQ, 0)});
  return ok && add(filter, kAllow, SCMP_SYS(setpriority),
                   {SCMP_A0(SCMP_CMP_EQ, PRIO_PROCESS), SCMP_A1(SCMP_CMP_EQ, 0)});
}

FilterPtr newFilter() {
  FilterPtr filter(seccomp_init(SCMP_ACT_ERRNO(EPERM)));
  // A binary tree of the calls: every call the decoders make passes the filter, and a list this
  // long walked in order costs measurable time on busy paths.
  if (filter && seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_OPTIMIZE, 2) == 0 &&
      allowRunning(filter.get())) {
    return filter;
  }
  return nullptr;
}

// The filter as a BPF program in an anonymous file, positioned at its start; -1 on failure.
int exportedFilter(void* filter) {
  int fd = memfd_create("thumbtool-seccomp", MFD_CLOEXEC);
  if (fd >= 0 && (seccomp_export_bpf(filter, fd) != 0 || lseek(fd, 0, SEEK_SET) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

// The filter as a BPF program in memory. Through a pipe rather than a file: a worker's file-size
// limit (its reply's) may be smaller than the program. The pipe never blocks: a program longer
// than it holds fails instead.
std::vector<sock_filter> exportedProgram(void* filter) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    return {};
  }
  bool exported =
      fcntl(ends[1], F_SETFL, O_NONBLOCK) == 0 && seccomp_export_bpf(filter, ends[1]) == 0;
  close(ends[1]);
  std::vector<char> bytes(BPF_MAXINSNS * sizeof(sock_filter) + 1);
  std::size_t length = 0;
  while (exported && length < bytes.size()) {
    ssize_t n = read(ends[0], bytes.data() + length, bytes.size() - length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      break;
    }
    length += static_cast<std::size_t>(n);
  }
  close(ends[0]);
  std::vector<sock_filter> program;
  if (exported && length > 0 && length % sizeof(sock_filter) == 0 && length < bytes.size()) {
    program.resize(length / sizeof(sock_filter));
    std::memcpy(program.data(), bytes.data(), length);
  }
  return program;
}

}  // namespace

std::vector<sock_filter> renderWorkerFilter() {
  FilterPtr filter = newFilter();
  if (!filter || !allowReadingOpens(filter.get()) || !limitIoctl(filter.get(), false)) {
    return {};
  }
  void* f = filter.get();
  // Threads only: a clone without CLONE_THREAD would be a new process.
  bool ok = add(f, kAllow, SCMP_SYS(clone),
                {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD | kNamespaceFlags, CLONE_THREAD)});
  // Signals to itself only (abort() and the sanitizers raise them).
  const auto self = static_cast<scmp_datum_t>(getpid());
  ok = ok && add(f, kAllow, SCMP_SYS(kill), {SCMP_A0(SCMP_CMP_EQ, self)});
  ok = ok && add(f, kAllow, SCMP_SYS(tgkill), {SCMP_A0(SCMP_CMP_EQ, self)});
  return ok ? exportedProgram(f) : std::vector<sock_filter>{};
}

bool loadFilter(const std::vector<sock_filter>& program) {
  if (program.empty() || program.size() > BPF_MAXINSNS) {
    return false;
  }
  sock_fprog bpf{static_cast<unsigned short>(program.size()),
                 const_cast<sock_filter*>(program.data())};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &bpf) == 0;
}

int thumbnailerFilterFile() {
  FilterPtr filter = newFilter();
  if (!filter || !limitIoctl(filter.get(), true) || !allowProgramLife(filter.get())) {
    return -1;
  }
  return exportedFilter(filter.get());
}

}  // namespace thumbtool
