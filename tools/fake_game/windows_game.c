/* A stand-in for the Windows game client, for tests that run it under Wine:
   it only waits, so that the test can find it and close it. */
#include <windows.h>

int main(void) {
  Sleep(120000);
  return 3;
}
