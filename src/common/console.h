// Progress messages on standard output.
#pragma once

// printf-style; every piece is flushed at once, so the countdown's dots appear as the seconds
// pass even when standard output is a pipe or a file.
#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void ShowMessage(const char* format, ...);
