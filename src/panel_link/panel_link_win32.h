// Win32 records of the panel port, built apart so they can be checked byte for byte.
#pragma once

#include <windows.h>

// An all-zero DCB with only 1200 baud, binary mode, DTR and RTS disabled, 8 data bits, no
// parity and one stop bit set: no flow control of any kind, no special characters.
DCB BuildLineSettings();

// Read: 20 ms between bytes, 10 ms per byte + 100 ms in all. Write: 10 ms per byte + 100 ms.
COMMTIMEOUTS BuildPortTimeouts();
