// Runs one command and reports, on one line of key=value pairs, what the
// benchmark needs to know about its whole process tree:
//   start_epoch  wall clock just before the fork (seconds since the epoch)
//   wall_s       until the last process of the tree has ended
//   user_s sys_s CPU of the tree, including processes that detached
//                themselves (this program is their subreaper, so it reaps
//                them and their usage is counted)
//   maxrss_kb    the largest resident set of any process in the tree
//   status       the command's own exit status
//   map_ms       (-w NAME) until a top-level window titled NAME was mapped
//   paint_ms     (-w NAME) until that window first shows content: the first
//                drawing after which it is no longer one flat colour (the
//                server's own fill on mapping does not count)
//   stderr_ms    (-e FILE) until the first byte on the command's stderr,
//                which is copied to FILE
//
// The line goes to standard output, or to FILE with -o FILE.
//
// Usage: probe [-o FILE] [-w NAME] [-e FILE] [-t SECONDS] -- command [args...]
#define _GNU_SOURCE
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(clockid_t clock) {
  struct timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void usage(void) {
  fprintf(stderr, "usage: probe [-o FILE] [-w NAME] [-e FILE] [-t SECONDS] -- command [args...]\n");
  exit(2);
}

// True when `w` carries the title `name` (WM_NAME).
static int titled(Display* dpy, Window w, const char* name) {
  char* title = NULL;
  int match = XFetchName(dpy, w, &title) && title && strcmp(title, name) == 0;
  if (title) XFree(title);
  return match;
}

// The window may go away at any moment; a failed request is no reason to stop.
static int ignoreXError(Display* dpy, XErrorEvent* error) {
  (void)dpy;
  (void)error;
  return 0;
}

// True once the window holds more than one colour.
static int hasContent(Display* dpy, Window w) {
  XWindowAttributes wa;
  if (!XGetWindowAttributes(dpy, w, &wa) || wa.width <= 0 || wa.height <= 0) return 0;
  XImage* image = XGetImage(dpy, w, 0, 0, (unsigned)wa.width, (unsigned)wa.height, AllPlanes, ZPixmap);
  if (!image) return 0;
  unsigned long first = XGetPixel(image, 0, 0);
  int varied = 0;
  for (int y = 0; y < wa.height && !varied; y += 4)
    for (int x = 0; x < wa.width && !varied; x += 4) varied = XGetPixel(image, x, y) != first;
  XDestroyImage(image);
  return varied;
}

int main(int argc, char** argv) {
  const char* windowName = NULL;
  const char* stderrFile = NULL;
  const char* resultFile = NULL;
  double limit = 120;
  int opt;
  while ((opt = getopt(argc, argv, "+o:w:e:t:")) != -1) {
    if (opt == 'w') windowName = optarg;
    else if (opt == 'e') stderrFile = optarg;
    else if (opt == 'o') resultFile = optarg;
    else if (opt == 't') limit = atof(optarg);
    else usage();
  }
  if (optind >= argc) usage();
  char** command = argv + optind;

  // Orphans of the tree come to us instead of init.
  if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    perror("probe: PR_SET_CHILD_SUBREAPER");
    return 2;
  }

  // Listen before the command starts, so that no map is missed.
  Display* dpy = NULL;
  int damageEvent = 0, damageError = 0;
  if (windowName) {
    dpy = XOpenDisplay(NULL);
    if (!dpy) {
      fprintf(stderr, "probe: cannot open the display\n");
      return 2;
    }
    fcntl(ConnectionNumber(dpy), F_SETFD, FD_CLOEXEC);
    XSetErrorHandler(ignoreXError);
    if (!XDamageQueryExtension(dpy, &damageEvent, &damageError)) damageEvent = -1;
    XSelectInput(dpy, DefaultRootWindow(dpy), SubstructureNotifyMask);
    XSync(dpy, False);
  }

  int errPipe[2] = {-1, -1};
  FILE* errCopy = NULL;
  if (stderrFile) {
    errCopy = fopen(stderrFile, "w");
    if (!errCopy || pipe2(errPipe, O_CLOEXEC) != 0) {
      perror("probe: stderr capture");
      return 2;
    }
  }

  // Children and the signals that end a run come through one descriptor;
  // an interrupt is passed on to the command's group, so that nothing of
  // the tree outlives the benchmark.
  sigset_t watched_signals, old;
  sigemptyset(&watched_signals);
  sigaddset(&watched_signals, SIGCHLD);
  sigaddset(&watched_signals, SIGINT);
  sigaddset(&watched_signals, SIGTERM);
  sigaddset(&watched_signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &watched_signals, &old);
  int sfd = signalfd(-1, &watched_signals, SFD_CLOEXEC | SFD_NONBLOCK);

  double start = now(CLOCK_MONOTONIC);
  double startEpoch = now(CLOCK_REALTIME);
  pid_t pid = fork();
  if (pid < 0) {
    perror("probe: fork");
    return 2;
  }
  if (pid == 0) {
    sigprocmask(SIG_SETMASK, &old, NULL);
    setpgid(0, 0);  // one group, so that a time-out can stop the whole tree
    if (errPipe[1] >= 0) dup2(errPipe[1], STDERR_FILENO);
    execvp(command[0], command);
    perror("probe: exec");
    _exit(127);
  }
  if (errPipe[1] >= 0) close(errPipe[1]);

  double mapAt = -1, paintAt = -1, errAt = -1;
  Window window = 0;
  int status = -1, children = 1, killed = 0, interrupted = 0;
  while (children > 0) {
    double left = start + limit - now(CLOCK_MONOTONIC);
    if (left <= 0 && !killed) {
      fprintf(stderr, "probe: time limit reached, stopping the command\n");
      kill(-pid, SIGKILL);
      killed = 1;
      limit += 10;  // for the reaping that follows
      continue;
    }
    if (left <= 0) break;

    struct pollfd fds[3];
    int n = 0;
    fds[n++] = (struct pollfd){.fd = sfd, .events = POLLIN};
    int errIndex = -1;
    if (dpy) {
      fds[n++] = (struct pollfd){.fd = ConnectionNumber(dpy), .events = POLLIN};
    }
    if (errPipe[0] >= 0) {
      errIndex = n;
      fds[n++] = (struct pollfd){.fd = errPipe[0], .events = POLLIN};
    }
    // Xlib may hold events already read from the socket.
    int timeoutMs = (dpy && XPending(dpy)) ? 0 : (int)(left * 1000) + 1;
    if (poll(fds, n, timeoutMs) < 0 && errno != EINTR) break;

    if (dpy) {
      while (XPending(dpy)) {
        XEvent ev;
        XNextEvent(dpy, &ev);
        double t = now(CLOCK_MONOTONIC);
        if (ev.type == MapNotify && !window && titled(dpy, ev.xmap.window, windowName)) {
          mapAt = t;
          window = ev.xmap.window;
          if (damageEvent >= 0) XDamageCreate(dpy, window, XDamageReportNonEmpty);
        } else if (damageEvent >= 0 && ev.type == damageEvent + XDamageNotify && paintAt < 0) {
          // Acknowledge, so that the next drawing is reported too.
          XDamageSubtract(dpy, ((XDamageNotifyEvent*)&ev)->damage, None, None);
          if (hasContent(dpy, window)) paintAt = t;
        }
      }
    }

    if (errIndex >= 0 && (fds[errIndex].revents & (POLLIN | POLLHUP))) {
      char buf[4096];
      ssize_t got = read(errPipe[0], buf, sizeof buf);
      if (got > 0) {
        if (errAt < 0) errAt = now(CLOCK_MONOTONIC);
        fwrite(buf, 1, (size_t)got, errCopy);
      } else if (got == 0) {
        close(errPipe[0]);
        errPipe[0] = -1;
      }
    }

    struct signalfd_siginfo info;
    while (read(sfd, &info, sizeof info) == sizeof info) {
      if (info.ssi_signo != SIGCHLD) {
        kill(-pid, (int)info.ssi_signo);
        interrupted = 1;
      }
    }
    for (;;) {
      int st;
      pid_t done = waitpid(-1, &st, WNOHANG);
      if (done == 0) break;
      if (done < 0) {
        children = 0;  // ECHILD: the whole tree has ended
        break;
      }
      if (done == pid) status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
  }
  double end = now(CLOCK_MONOTONIC);
  if (errCopy) fclose(errCopy);

  struct rusage ru;
  getrusage(RUSAGE_CHILDREN, &ru);
  FILE* out = resultFile ? fopen(resultFile, "w") : stdout;
  if (!out) {
    perror("probe: result file");
    return 2;
  }
  fprintf(out, "start_epoch=%.6f wall_s=%.6f user_s=%.6f sys_s=%.6f maxrss_kb=%ld status=%d",
         startEpoch, end - start, ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6,
         ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6, ru.ru_maxrss, status);
  if (windowName) fprintf(out, " map_ms=%.3f paint_ms=%.3f", mapAt < 0 ? -1 : (mapAt - start) * 1000,
                         paintAt < 0 ? -1 : (paintAt - start) * 1000);
  if (stderrFile) fprintf(out, " stderr_ms=%.3f", errAt < 0 ? -1 : (errAt - start) * 1000);
  fprintf(out, "\n");
  if (out != stdout) fclose(out);
  if (dpy) XCloseDisplay(dpy);
  return interrupted ? 130 : killed ? 3 : 0;
}
