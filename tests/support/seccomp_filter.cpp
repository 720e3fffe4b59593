#include "support/seccomp_filter.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace qv::test {

std::optional<std::string> refuse_system_call(long number, int error) {
#if defined(__x86_64__)
  constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
  return "no seccomp architecture known for this build";
#endif
  sock_filter program[] = {
      // A call made under another architecture's numbering is refused whole.
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
  // Without privileges a filter may be installed only by a process that can
  // never gain any.
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return std::string("no_new_privs: ") + std::strerror(errno);
  if (::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_TSYNC, &filter) != 0) {
    return std::string("seccomp: ") + std::strerror(errno);
  }
  return std::nullopt;
}

}  // namespace qv::test
