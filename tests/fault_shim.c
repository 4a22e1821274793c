/* Fault injection for the crash tests, loaded with LD_PRELOAD into a child
 * interpreter.  It wraps the C library calls through which the module
 * changes files (open for writing, write, copy_file_range, rename, link,
 * unlink, mkdir, rmdir, utimensat, msync, fchmod, fsync) and counts them
 * once armed from Python through ctypes.  Armed with a number n it either kills the process with SIGKILL
 * just before the n-th such call, or makes the n-th and every later call
 * fail with a chosen errno (a disk that fills up or turns read-only).
 * Counting mode records each call so a test can name its crash points.
 * Apart from that, kx_refuse_direct() makes direct I/O fail with EINVAL, as
 * on a file system without it: at open (1) or at each write (2); and
 * kx_refuse_copy_file_range() makes copy_file_range fail with EXDEV.
 * kx_fault_act() plays another writer of a file at a chosen point: just
 * before the n-th counted call it appends bytes to a file or renames one
 * file over another (once, and in counting mode too). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum { MODE_COUNT = 0, MODE_KILL = 1, MODE_FAIL = 2 };
enum { MAX_TRACE = 8192, TRACE_LEN = 200 };

static atomic_int armed;
static atomic_long calls;
static long target;
static int mode;
static int fail_errno;
static char trace[MAX_TRACE][TRACE_LEN];
static atomic_int refuse_direct;

static atomic_int refuse_copy_range;

void kx_refuse_direct(int how) { atomic_store(&refuse_direct, how); }
void kx_refuse_copy_file_range(int on) { atomic_store(&refuse_copy_range, on); }

void kx_fault_arm(long n, int how, int err) {
  target = n;
  mode = how;
  fail_errno = err;
  atomic_store(&calls, 0);
  atomic_store(&armed, 1);
}

long kx_fault_disarm(void) {
  atomic_store(&armed, 0);
  return atomic_load(&calls);
}

const char* kx_fault_trace(long i) { return (i >= 0 && i < MAX_TRACE) ? trace[i] : ""; }

enum { ACT_NONE = 0, ACT_APPEND = 1, ACT_RENAME = 2 };
static long act_target;
static atomic_int act_kind;
static char act_a[4096], act_b[1 << 16];

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

void kx_fault_act(long n, int kind, const char* a, const char* b) {
  act_target = n;
  snprintf(act_a, sizeof act_a, "%s", a);
  snprintf(act_b, sizeof act_b, "%s", b);
  atomic_store(&act_kind, kind);
}

static void act(void) {
  int kind = atomic_exchange(&act_kind, ACT_NONE);
  if (kind == ACT_APPEND) {
    int fd = REAL(open)(act_a, O_WRONLY | O_APPEND);
    if (fd >= 0) {
      if (REAL(write)(fd, act_b, strlen(act_b)) < 0) perror("kx_fault_act");
      close(fd);
    }
  } else if (kind == ACT_RENAME) {
    REAL(rename)(act_a, act_b);
  }
}

/* Returns 0 to let the call through, -1 (errno set) to make it fail. */
static int tick(const char* what, const char* path) {
  if (!atomic_load(&armed)) return 0;
  long n = atomic_fetch_add(&calls, 1) + 1;
  if (n == act_target && atomic_load(&act_kind) != ACT_NONE) act();
  if (n <= MAX_TRACE) snprintf(trace[n - 1], TRACE_LEN, "%s %s", what, path ? path : "");
  if (mode == MODE_KILL && n == target) kill(getpid(), SIGKILL);
  if (mode == MODE_FAIL && n >= target) {
    errno = fail_errno;
    return -1;
  }
  return 0;
}

static const char* fd_path(int fd, char* buf, size_t len) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, buf, len - 1);
  buf[n < 0 ? 0 : n] = 0;
  return buf;
}

int open(const char* path, int flags, ...) {
  mode_t m = 0;
  if (flags & (O_CREAT | O_TMPFILE)) {
    va_list ap;
    va_start(ap, flags);
    m = va_arg(ap, mode_t);
    va_end(ap);
  }
  if ((flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) && tick("open", path)) return -1;
  if ((flags & O_DIRECT) && atomic_load(&refuse_direct) == 1) {
    errno = EINVAL;
    return -1;
  }
  return REAL(open)(path, flags, m);
}

static int direct_refused(int fd) {
  if (atomic_load(&refuse_direct) != 2) return 0;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || !(flags & O_DIRECT)) return 0;
  errno = EINVAL;
  return 1;
}

ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  if (direct_refused(fd)) return -1;
  return REAL(pwrite)(fd, buf, count, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t count, off_t offset) {
  if (direct_refused(fd)) return -1;
  return REAL(pwrite64)(fd, buf, count, offset);
}

ssize_t write(int fd, const void* buf, size_t count) {
  if (fd > 2 && atomic_load(&armed)) {
    char p[256];
    if (tick("write", fd_path(fd, p, sizeof p))) return -1;
  }
  return REAL(write)(fd, buf, count);
}

ssize_t copy_file_range(int fd_in, off_t* off_in, int fd_out, off_t* off_out, size_t len,
                        unsigned int flags) {
  if (atomic_load(&armed)) {
    char p[256];
    if (tick("copy_file_range", fd_path(fd_out, p, sizeof p))) return -1;
  }
  if (atomic_load(&refuse_copy_range)) {
    errno = EXDEV;
    return -1;
  }
  return REAL(copy_file_range)(fd_in, off_in, fd_out, off_out, len, flags);
}

int rename(const char* from, const char* to) {
  if (tick("rename", to)) return -1;
  return REAL(rename)(from, to);
}

/* Traced as "rename" too: a swap takes a file's place as a rename does. */
int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
  if (tick("rename", to)) return -1;
  return REAL(renameat2)(from_dir, from, to_dir, to, flags);
}

int unlink(const char* path) {
  if (tick("unlink", path)) return -1;
  return REAL(unlink)(path);
}

int mkdir(const char* path, mode_t m) {
  if (tick("mkdir", path)) return -1;
  return REAL(mkdir)(path, m);
}

int rmdir(const char* path) {
  if (tick("rmdir", path)) return -1;
  return REAL(rmdir)(path);
}

int utimensat(int dirfd, const char* path, const struct timespec times[2], int flags) {
  if (tick("utimensat", path)) return -1;
  return REAL(utimensat)(dirfd, path, times, flags);
}

int msync(void* addr, size_t len, int flags) {
  if (tick("msync", "")) return -1;
  return REAL(msync)(addr, len, flags);
}

int fchmod(int fd, mode_t m) {
  char p[256];
  if (atomic_load(&armed) && tick("fchmod", fd_path(fd, p, sizeof p))) return -1;
  return REAL(fchmod)(fd, m);
}

int link(const char* from, const char* to) {
  if (tick("link", to)) return -1;
  return REAL(link)(from, to);
}

int fsync(int fd) {
  char p[256];
  if (atomic_load(&armed) && tick("fsync", fd_path(fd, p, sizeof p))) return -1;
  return REAL(fsync)(fd);
}
