// Linked into the portable stub with -Wl,--wrap=log -Wl,--wrap=pow, so that the toolkit's
// calls to log and pow go to the symbol versions every glibc of the architecture has (its
// first: GLIBC_2.2.5 on x86-64, GLIBC_2.17 on aarch64) instead of the GLIBC_2.29 ones a
// newer glibc links by default, which RHEL 8 and Debian 10 lack. glibc 2.29 versioned both
// anew to drop the SVID error handling of matherr (gone since 2.27); the old versions
// return the same values and set errno the same way, but for the sign of the NaN that log
// gives for a negative argument.
//
// With -Wl,--wrap=pthread_cond_clockwait too: the C++ runtime, built against a glibc of 2.30
// or later, waits for a time on the steady clock through pthread_cond_clockwait (2.30).
// Built against an older glibc it turned the deadline into one on the system clock for
// pthread_cond_timedwait, which every glibc has; so does this.
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <time.h>

#if defined(__x86_64__)
#define SFX_GLIBC_FIRST "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define SFX_GLIBC_FIRST "GLIBC_2.17"
#else
#error "no first glibc symbol version known for this architecture"
#endif

double sfx_log_first(double x);
double sfx_pow_first(double x, double y);
__asm__(".symver sfx_log_first, log@" SFX_GLIBC_FIRST);
__asm__(".symver sfx_pow_first, pow@" SFX_GLIBC_FIRST);

double __wrap_log(double x);
double __wrap_pow(double x, double y);

double __wrap_log(double x) { return sfx_log_first(x); }
double __wrap_pow(double x, double y) { return sfx_pow_first(x, y); }

int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const struct timespec* deadline);

int __wrap_pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                                  const struct timespec* deadline) {
  struct timespec now, real;
  if (clock_gettime(clock, &now) != 0 || clock_gettime(CLOCK_REALTIME, &real) != 0) return EINVAL;
  const long long second = 1000000000LL;
  long long left = (long long)(deadline->tv_sec - now.tv_sec) * second + (deadline->tv_nsec - now.tv_nsec);
  if (left < 0) left = 0;
  left += real.tv_nsec;
  real.tv_sec += (time_t)(left / second);
  real.tv_nsec = (long)(left % second);
  return pthread_cond_timedwait(cond, mutex, &real);
}
