// Prints log(x) and pow(x, y), each with the errno it left, for every pair X Y of arguments.
// Built twice, with and without the wrapper in src/launcher/glibc_floor.c, to show that the
// old symbol versions compute what the new ones do.
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

static void show(double value, int error) {
  // The sign of a NaN is the one thing the two versions may differ in.
  if (isnan(value))
    printf(" nan %d", error);
  else
    printf(" %a %d", value, error);
}

int main(int argc, char** argv) {
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
