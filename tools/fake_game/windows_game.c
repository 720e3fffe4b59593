/* A stand-in for the Windows game client, for tests that run it under Wine.
   It opens a top-level window titled "QV Online" and waits for it to be
   closed.

   With "--record=FILE" as its first argument it writes every argument after
   the program to FILE (a path from its working folder), one "arg:" line each,
   then "ready" once the window is shown, and "closed by window" when the
   window is asked to close.

   Exit codes tell how it ended: 10 after a close request to its window, 3
   when it ran out its time (two minutes), 2 on a set-up error. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#define CLOSED_BY_WINDOW 10
#define RAN_OUT_OF_TIME 3
#define SET_UP_ERROR 2
#define LIFETIME_MS 120000

static const char record_option[] = "--record=";
static FILE *record = NULL;

static void note(const char *text) {
  if (record == NULL) return;
  fputs(text, record);
  fputc('\n', record);
  fflush(record);
}

static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_CLOSE) {
    note("closed by window");
    PostQuitMessage(CLOSED_BY_WINDOW);
    return 0;
  }
  return DefWindowProcA(window, message, w, l);
}

int main(int argc, char **argv) {
  if (argc > 1 && strncmp(argv[1], record_option, sizeof record_option - 1) == 0) {
    record = fopen(argv[1] + sizeof record_option - 1, "wb");
    if (record == NULL) return SET_UP_ERROR;
    for (int i = 1; i < argc; ++i) {
      fputs("arg:", record);
      note(argv[i]);
    }
  }

  WNDCLASSA window_class;
  memset(&window_class, 0, sizeof window_class);
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = GetModuleHandleA(NULL);
  window_class.lpszClassName = "QVOnlineStandIn";
  if (RegisterClassA(&window_class) == 0) return SET_UP_ERROR;
  HWND window = CreateWindowA(window_class.lpszClassName, "QV Online", WS_OVERLAPPEDWINDOW, 0, 0, 64, 48, NULL, NULL,
                              window_class.hInstance, NULL);
  if (window == NULL) return SET_UP_ERROR;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  note("ready");

  /* A thread timer: its message has no window. */
  SetTimer(NULL, 0, LIFETIME_MS, NULL);
  MSG message;
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == NULL) return RAN_OUT_OF_TIME;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return (int)message.wParam;
}
