// SPDX-License-Identifier: MIT
/* The floor for the memory figures: a bare C program that prints a line and
   sleeps, as every program here does. */
#include <stdio.h>
#include <unistd.h>

int main(void) {
  setvbuf(stdout, NULL, _IOLBF, BUFSIZ);
  for (;;) {
    puts("tick");
    sleep(1);
  }
}
