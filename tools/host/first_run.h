// The first-run check of the console host (`host --check PORT|usb`): walks a
// person with a real display through an acceptance sequence and writes a
// plain-text report of every step, answer, timing and driver result.
#ifndef BRL_HOST_FIRST_RUN_H
#define BRL_HOST_FIRST_RUN_H

#include <windows.h>

#include <string>

#include "brailledriver.h"

// Runs the whole check on a driver obtained from the DLL but not yet started;
// reads the person's answers from standard input. Returns the host's exit
// code: 0 every step passed, 3 a step failed or went unanswered, 4 the port
// cannot be opened (and no USB display), 5 no display answered.
// A Unicode window of its own class that takes the keyboard focus (host.cpp).
HWND CreateFocusWindow(WNDPROC proc, const wchar_t* className, const wchar_t* title, int width, int height, int show,
                       void* user);

int RunFirstRunCheck(IBrailleDriver* driver, const std::string& port, const std::string& reportPath);

#endif
