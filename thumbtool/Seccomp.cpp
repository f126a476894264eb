#include "Seccomp.hpp"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <initializer_list>
#include <memory>

namespace thumbtool {

namespace {

struct FilterRelease {
  void operator()(void* context) const noexcept { seccomp_release(context); }
};
using FilterPtr = std::unique_ptr<void, FilterRelease>;

const std::uint32_t kRefuse = SCMP_ACT_ERRNO(EPERM);
// clone3 passes its flags in memory a filter cannot read: claiming it does not exist makes the
// C library fall back to clone, whose flags can be checked.
const std::uint32_t kMissing = SCMP_ACT_ERRNO(ENOSYS);

// A syscall this architecture lacks (EDOM) needs no rule.
bool add(void* filter, std::uint32_t action, int syscall,
         std::initializer_list<scmp_arg_cmp> conditions = {}) {
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

// What neither a decoder nor a thumbnailer needs: the kernel's more exposed interfaces and
// everything that could reach outside the process's own view of the system.
bool refuseKernelSurface(void* filter) {
  bool ok = addAll(filter, kRefuse,
                   {SCMP_SYS(ptrace),
                    SCMP_SYS(process_vm_readv),
                    SCMP_SYS(process_vm_writev),
                    SCMP_SYS(mount),
                    SCMP_SYS(umount2),
                    SCMP_SYS(pivot_root),
                    SCMP_SYS(chroot),
                    SCMP_SYS(unshare),
                    SCMP_SYS(setns),
                    SCMP_SYS(fsopen),
                    SCMP_SYS(fsmount),
                    SCMP_SYS(fsconfig),
                    SCMP_SYS(fspick),
                    SCMP_SYS(move_mount),
                    SCMP_SYS(open_tree),
                    SCMP_SYS(mount_setattr),
                    SCMP_SYS(keyctl),
                    SCMP_SYS(add_key),
                    SCMP_SYS(request_key),
                    SCMP_SYS(bpf),
                    SCMP_SYS(perf_event_open),
                    SCMP_SYS(userfaultfd),
                    SCMP_SYS(io_uring_setup),
                    SCMP_SYS(io_uring_enter),
                    SCMP_SYS(io_uring_register),
                    SCMP_SYS(kexec_load),
                    SCMP_SYS(kexec_file_load),
                    SCMP_SYS(init_module),
                    SCMP_SYS(finit_module),
                    SCMP_SYS(delete_module),
                    SCMP_SYS(personality),
                    SCMP_SYS(syslog),
                    SCMP_SYS(acct),
                    SCMP_SYS(swapon),
                    SCMP_SYS(swapoff),
                    SCMP_SYS(reboot),
                    SCMP_SYS(quotactl),
                    SCMP_SYS(name_to_handle_at),
                    SCMP_SYS(open_by_handle_at),
                    SCMP_SYS(fanotify_init),
                    SCMP_SYS(iopl),
                    SCMP_SYS(ioperm),
                    SCMP_SYS(settimeofday),
                    SCMP_SYS(clock_settime),
                    SCMP_SYS(clock_adjtime),
                    SCMP_SYS(adjtimex),
                    SCMP_SYS(sethostname),
                    SCMP_SYS(setdomainname),
                    SCMP_SYS(lookup_dcookie),
                    SCMP_SYS(vhangup),
                    SCMP_SYS(pidfd_getfd)});
  ok = ok && add(filter, kMissing, SCMP_SYS(clone3));
  // Typing into the controlling terminal.
  ok = ok &&
       add(filter, kRefuse, SCMP_SYS(ioctl), {SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffU, TIOCSTI)});
  // New namespaces through clone.
  for (std::uint64_t flag : {CLONE_NEWUSER, CLONE_NEWNS, CLONE_NEWPID, CLONE_NEWNET, CLONE_NEWUTS,
                             CLONE_NEWIPC, CLONE_NEWCGROUP}) {
    ok = ok && add(filter, kRefuse, SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag)});
  }
  return ok;
}

// Opening for anything but reading, on each of the calls that open.
bool refuseWritingOpens(void* filter) {
  bool ok = addAll(filter, kRefuse, {SCMP_SYS(creat)});
  ok = ok && add(filter, kMissing, SCMP_SYS(openat2));
  for (std::uint64_t flag : {O_WRONLY, O_RDWR, O_CREAT, O_TRUNC, O_APPEND}) {
    ok = ok && add(filter, kRefuse, SCMP_SYS(open), {SCMP_A1(SCMP_CMP_MASKED_EQ, flag, flag)});
    ok = ok && add(filter, kRefuse, SCMP_SYS(openat), {SCMP_A2(SCMP_CMP_MASKED_EQ, flag, flag)});
  }
  return ok;
}

FilterPtr newFilter() {
  FilterPtr filter(seccomp_init(SCMP_ACT_ALLOW));
  if (filter && refuseKernelSurface(filter.get())) {
    return filter;
  }
  return nullptr;
}

}  // namespace

bool confineRenderWorker() {
  FilterPtr filter = newFilter();
  if (!filter || !refuseWritingOpens(filter.get())) {
    return false;
  }
  void* f = filter.get();
  bool ok = addAll(f, kRefuse,
                   {SCMP_SYS(execve),
                    SCMP_SYS(execveat),
                    SCMP_SYS(fork),
                    SCMP_SYS(vfork),
                    SCMP_SYS(socket),
                    SCMP_SYS(socketpair),
                    SCMP_SYS(connect),
                    SCMP_SYS(bind),
                    SCMP_SYS(listen),
                    SCMP_SYS(accept),
                    SCMP_SYS(accept4),
                    SCMP_SYS(rename),
                    SCMP_SYS(renameat),
                    SCMP_SYS(renameat2),
                    SCMP_SYS(unlink),
                    SCMP_SYS(unlinkat),
                    SCMP_SYS(link),
                    SCMP_SYS(linkat),
                    SCMP_SYS(symlink),
                    SCMP_SYS(symlinkat),
                    SCMP_SYS(mkdir),
                    SCMP_SYS(mkdirat),
                    SCMP_SYS(rmdir),
                    SCMP_SYS(mknod),
                    SCMP_SYS(mknodat),
                    SCMP_SYS(chmod),
                    SCMP_SYS(fchmod),
                    SCMP_SYS(fchmodat),
                    SCMP_SYS(chown),
                    SCMP_SYS(fchown),
                    SCMP_SYS(lchown),
                    SCMP_SYS(fchownat),
                    SCMP_SYS(truncate),
                    SCMP_SYS(ftruncate),
                    SCMP_SYS(utime),
                    SCMP_SYS(utimes),
                    SCMP_SYS(utimensat),
                    SCMP_SYS(futimesat),
                    SCMP_SYS(setxattr),
                    SCMP_SYS(lsetxattr),
                    SCMP_SYS(fsetxattr),
                    SCMP_SYS(removexattr),
                    SCMP_SYS(lremovexattr),
                    SCMP_SYS(fremovexattr),
                    SCMP_SYS(tkill),
                    SCMP_SYS(pidfd_open),
                    SCMP_SYS(pidfd_send_signal)});
  // Threads only: a clone without CLONE_THREAD is a new process.
  ok = ok && add(f, kRefuse, SCMP_SYS(clone), {SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)});
  // Signals to itself only (abort() and the sanitizers raise them).
  const auto self = static_cast<scmp_datum_t>(getpid());
  for (int syscall :
       {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)}) {
    ok = ok && add(f, kRefuse, syscall, {SCMP_A0(SCMP_CMP_NE, self)});
  }
  return ok && seccomp_load(f) == 0;
}

int thumbnailerFilterFile() {
  FilterPtr filter = newFilter();
  if (!filter) {
    return -1;
  }
  // Local sockets stay: programs use socketpair() among their own threads and children.
  if (!add(filter.get(), kRefuse, SCMP_SYS(socket), {SCMP_A0(SCMP_CMP_NE, AF_UNIX)})) {
    return -1;
  }
  int fd = memfd_create("thumbtool-seccomp", MFD_CLOEXEC);
  if (fd < 0) {
    return -1;
  }
  if (seccomp_export_bpf(filter.get(), fd) != 0 || lseek(fd, 0, SEEK_SET) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace thumbtool
