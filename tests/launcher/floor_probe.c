// Prints log(x) and pow(x, y), each with the errno it left, for every pair X Y of arguments;
// with "--wait MS", how a wait of MS milliseconds on the steady clock ended. Built twice,
// with and without the wrapper in src/launcher/glibc_floor.c, to show that the old symbol
// versions compute what the new ones do.
#define _GNU_SOURCE
#include <errno.h>
#include <math.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void show(double value, int error) {
  // The sign of a NaN is the one thing the two versions may differ in.
  if (isnan(value))
    printf(" nan %d", error);
  else
    printf(" %a %d", value, error);
}

static long long nowNs(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Waits `ms` milliseconds for a condition nobody signals; prints how it ended.
static void waitFor(long ms) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  const long long start = nowNs(), deadline = start + ms * 1000000LL;
  const struct timespec until = {(time_t)(deadline / 1000000000LL), (long)(deadline % 1000000000LL)};
  pthread_mutex_lock(&mutex);
  const int result = pthread_cond_clockwait(&cond, &mutex, CLOCK_MONOTONIC, &until);
  pthread_mutex_unlock(&mutex);
  const long long waited = nowNs() - start;
  printf("%s, %s\n", result == ETIMEDOUT ? "timed out" : strerror(result),
         waited >= ms * 1000000LL ? "not early" : "early");
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--wait") == 0) {
    waitFor(atol(argv[2]));
    return 0;
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    double x = strtod(argv[i], NULL), y = strtod(argv[i + 1], NULL);
    errno = 0;
    double l = log(x);
    int logError = errno;
    errno = 0;
    double p = pow(x, y);
    int powError = errno;
    printf("%s %s:", argv[i], argv[i + 1]);
    show(l, logError);
    show(p, powError);
    printf("\n");
  }
  return 0;
}
