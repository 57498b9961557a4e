// The Forwarding dialog, opened from the Settings dialog: the [forward] settings of
// the engine that forwards (this program's, or the protection service's while it
// watches), checked on OK, and a Test button for the collector and one for the
// webhook that send from a thread of their own and say in the dialog what happened.
#pragma once

#include <windows.h>

INT_PTR CALLBACK ForwardingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
// From the Settings dialog: the Forwarding dialog, or a message when the protection
// service has not told its settings yet.
void OpenForwardingDialog(HWND parent);
