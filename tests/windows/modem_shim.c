/* Modem lines for ptys, for the Windows tests under Wine: preloaded into
 * Wine's processes, it answers TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on
 * a pty slave, which has no modem lines of its own, as if the two ptys that
 * tests/windows/run.py joins were a null-modem cable: one end's RTS is the
 * other's CTS, one end's DTR the other's DSR and carrier detect.
 *
 * Each end's own lines (DTR, RTS) live in $VEXIL_MODEM_DIR/<pts number>;
 * $VEXIL_MODEM_DIR/peer-<n> names the other end's number. Without the
 * variable, or on any other descriptor, ioctl is the C library's.
 *
 * A write on an end whose file $VEXIL_MODEM_DIR/fail-<n> holds 1 fails with
 * EIO, as a pulled adapter's does: the tests fail the port's calls so. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

/* The pty number of a slave descriptor, -1 for anything else. */
static int pts_number(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
    return -1;
  const unsigned maj = major(st.st_rdev);
  if (maj < 136 || maj > 143)
    return -1;
  return (int)((maj - 136) * 256 + minor(st.st_rdev));
}

static int read_number(const char* dir, const char* prefix, int n, int fallback) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s%d", dir, prefix, n);
  FILE* f = fopen(path, "r");
  int value = fallback;
  if (f) {
    if (fscanf(f, "%d", &value) != 1)
      value = fallback;
    fclose(f);
  }
  return value;
}

static void write_own(const char* dir, int n, int lines) {
  char path[4096], tmp[4200];
  snprintf(path, sizeof path, "%s/%d", dir, n);
  snprintf(tmp, sizeof tmp, "%s.tmp", path);
  FILE* f = fopen(tmp, "w");
  if (!f)
    return;
  fprintf(f, "%d\n", lines & (TIOCM_DTR | TIOCM_RTS));
  fclose(f);
  rename(tmp, path); /* whole, never half written */
}

static int modem(const char* dir, int n, unsigned long request, int* arg) {
  int own = read_number(dir, "", n, 0);
  if (request == TIOCMGET) {
    const int peer = read_number(dir, "peer-", n, -1);
    const int far = peer >= 0 ? read_number(dir, "", peer, 0) : 0;
    *arg =
        own | ((far & TIOCM_RTS) ? TIOCM_CTS : 0) | ((far & TIOCM_DTR) ? TIOCM_DSR | TIOCM_CD : 0);
    return 0;
  }
  if (request == TIOCMSET)
    own = *arg;
  else if (request == TIOCMBIS)
    own |= *arg;
  else
    own &= ~*arg;
  write_own(dir, n, own);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  if (!real)
    real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const char* dir = getenv("VEXIL_MODEM_DIR");
  if (dir && arg &&
      (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
    const int n = pts_number(fd);
    if (n >= 0)
      return modem(dir, n, request, (int*)arg);
  }
  return real(fd, request, arg);
}

typedef ssize_t (*write_fn)(int, const void*, size_t);

ssize_t write(int fd, const void* data, size_t size) {
  static write_fn real;
  if (!real)
    real = (write_fn)dlsym(RTLD_NEXT, "write");
  const char* dir = getenv("VEXIL_MODEM_DIR");
  if (dir) {
    const int n = pts_number(fd);
    if (n >= 0 && read_number(dir, "fail-", n, 0) == 1) {
      errno = EIO;
      return -1;
    }
  }
  return real(fd, data, size);
}
