// A Wine prefix's registry files (system.reg, user.reg) as text: finding one value and setting a
// string value without disturbing any other line. Wine reads these files at a prefix's start and
// writes them whole when its wineserver ends, so they are edited only while no server runs.
//
// The format, as Wine writes it:
//   [Software\\Wine\\Ports] 1733760000     a key (backslashes doubled), then its time
//   #time=1db4a6f7c1e2a30                  lines starting with '#': the key's metadata
//   "COM4"="/dev/ttyUSB0"                  a value: name and string data, both escaped
//   "Data"=hex:01,02,\                     other data types; a trailing '\' continues a line
//     03
// Key and value names compare without regard to ASCII case, as Windows compares them.
#pragma once

#include <string>
#include <string_view>

struct RegistryValue {
  bool key_found = false;
  bool value_found = false;
  bool is_string = false;  // plain string data ("..."); else `data` is the raw text after '='
  std::string data;        // the string, unescaped to UTF-8 when is_string
};

// The value `name` of `key` (written with single backslashes, "Software\Wine\Ports").
RegistryValue FindRegistryValue(std::string_view file, std::string_view key, std::string_view name);

// The file with the string value `name` of `key` set to `value` (UTF-8): the value's line (and
// its continuation lines) replaced where it was; else a new line right after the key's line and
// metadata; else the key and value appended at the end, the key stamped with `now_seconds`.
// Every other line stays byte for byte. False, with *out untouched, when `value` is not UTF-8.
bool SetRegistryString(std::string_view file, std::string_view key, std::string_view name,
                       std::string_view value, long long now_seconds, std::string* out);

// A string as the file holds it: '\' and '"' escaped, anything outside printable ASCII as a
// UTF-16 code unit "\xHHHH". False when `utf8` is not UTF-8.
bool EscapeRegistryString(std::string_view utf8, std::string* escaped);

// The reverse, for text between the quotes; escapes Wine writes (\\ \" \n \r \t \0 \a \b \e \f
// \v \xH..HHHH and octal) are understood.
std::string UnescapeRegistryString(std::string_view escaped);
