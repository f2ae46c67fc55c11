/*
 * After the documented warm-up, the hot path makes no system call but the
 * clock read. A child process makes its objects (the warm-up), then puts
 * itself under a seccomp filter that lets only the clock calls and exit
 * through and traps every other call; the trap reports the call's number to
 * the parent through shared memory. The calls normally reach the clock through
 * the vDSO without entering the kernel at all; the filter allows them anyway.
 *
 * Exit status 77 (skipped) where the platform has no seccomp filters.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hot_path.h"

#if defined(__x86_64__)
#define KELVARA_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define KELVARA_AUDIT_ARCH AUDIT_ARCH_AARCH64
#endif

enum { kRounds = 2000, kSkipped = 77, kTrapped = 3, kWrong = 4, kSetUpFailed = 5, kFilterRefused = 6 };

/* What the child tells its parent. */
typedef struct Report {
  volatile long trapped_call;
  volatile long wrong;
} Report;

static Report* report;

static void on_trap(int signal, siginfo_t* info, void* context) {
  (void)signal;
  (void)context;
  report->trapped_call = info->si_syscall;
  syscall(SYS_exit_group, kTrapped);
}

#ifdef KELVARA_AUDIT_ARCH
#define ALLOW(call) \
  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (call), 0, 1), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)

static int enter_filter(void) {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, KELVARA_AUDIT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      ALLOW(SYS_clock_gettime),
      ALLOW(SYS_gettimeofday),
      ALLOW(SYS_exit_group),
      ALLOW(SYS_rt_sigreturn),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_TRAP),
  };
  struct sock_fprog program = {(unsigned short)(sizeof code / sizeof code[0]), code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program);
}
#else
static int enter_filter(void) {
  errno = ENOSYS;
  return -1;
}
#endif

static int child(void) {
  static HotPath path;
  if (hot_path_open(&path) != 0) return kSetUpFailed;
  struct sigaction trap;
  memset(&trap, 0, sizeof trap);
  trap.sa_sigaction = on_trap;
  trap.sa_flags = SA_SIGINFO;
  if (sigaction(SIGSYS, &trap, NULL) != 0) return kSetUpFailed;
  if (enter_filter() != 0)
    return errno == EINVAL || errno == ENOSYS || errno == EACCES ? kSkipped : kFilterRefused;
  report->wrong = hot_path_run(&path, kRounds);
  syscall(SYS_exit_group, report->wrong == 0 ? 0 : kWrong);
  return kWrong; /* not reached */
}

int main(void) {
  report = mmap(NULL, sizeof *report, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (report == MAP_FAILED) return 1;
  report->trapped_call = -1;
  const pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) _exit(child());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return 1;
  if (WIFSIGNALED(status)) {
    fprintf(stderr, "the hot path was killed by signal %d\n", WTERMSIG(status));
    return 1;
  }
  switch (WEXITSTATUS(status)) {
    case 0:
      printf("%d rounds of projection, signing and admission: no system call but the clock\n", kRounds);
      return 0;
    case kSkipped: printf("seccomp filters are not available here: skipped\n"); return kSkipped;
    case kTrapped: fprintf(stderr, "the hot path made system call %ld\n", report->trapped_call); return 1;
    case kWrong: fprintf(stderr, "%ld unexpected results\n", report->wrong); return 1;
    default: fprintf(stderr, "the child failed to set up (status %d)\n", WEXITSTATUS(status)); return 1;
  }
}
