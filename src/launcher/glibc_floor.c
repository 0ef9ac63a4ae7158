// Linked into the portable stub with -Wl,--wrap=log -Wl,--wrap=pow, so that the toolkit's
// calls to log and pow go to the symbol versions every x86-64 glibc has (GLIBC_2.2.5)
// instead of the GLIBC_2.29 ones a newer glibc links by default, which RHEL 8 and Debian 10
// lack. glibc 2.29 versioned both anew to drop the SVID error handling of matherr (gone
// since 2.27); the old versions return the same values and set errno the same way, but for
// the sign of the NaN that log gives for a negative argument.
#if !defined(__x86_64__)
#error "the oldest glibc symbol version named here is x86-64's"
#endif

double sfx_log_2_2_5(double x);
double sfx_pow_2_2_5(double x, double y);
__asm__(".symver sfx_log_2_2_5, log@GLIBC_2.2.5");
__asm__(".symver sfx_pow_2_2_5, pow@GLIBC_2.2.5");

double __wrap_log(double x);
double __wrap_pow(double x, double y);

double __wrap_log(double x) { return sfx_log_2_2_5(x); }
double __wrap_pow(double x, double y) { return sfx_pow_2_2_5(x, y); }
