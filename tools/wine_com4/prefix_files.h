// What panel-relay-com4 needs of a Wine prefix and of the machine's devices (Linux): whether a
// wineserver serves the prefix, atomic replacement of a file and of a link, and what a device
// path leads to and whether this user may use it.
#pragma once

#include <string>

// Reads a whole file; false with *error set (the system's words) when it cannot.
bool ReadWholeFile(const std::string& path, std::string* content, std::string* error);

// Whether a wineserver serves the prefix now. A running server holds a lock on the file "lock"
// in its directory, server-<device>-<inode> of the prefix, under /tmp/.wine-<uid> (Wine as
// built upstream, Proton) or under the directory that the prefix's file "wineserver" names
// (Debian's Wine). *where is set to that directory when one is found running.
bool WineserverRunning(const std::string& prefix, std::string* where);

// Replaces `path` with a new file holding `content`, through a file beside it renamed over it,
// so that a reader sees the old file or the new one, never a part. The new file keeps the old
// one's mode and (when run as root) owner. False with *error set and `path` untouched otherwise.
bool ReplaceFile(const std::string& path, const std::string& content, std::string* error);

// Makes `link` a symbolic link to `target` the same way: a new link renamed over the old.
// When run as root it is given the owner of the directory it is in.
bool ReplaceSymlink(const std::string& link, const std::string& target, std::string* error);

struct DeviceState {
  bool exists = false;     // the path leads to something
  bool character = false;  // a character device, as a serial port is
  std::string resolved;    // where its links lead, when it exists
  bool usable = false;     // this user may read and write it
  std::string advice;      // when not usable: what to do about it, on this system
};

DeviceState InspectDevice(const std::string& path);

// The name under /dev/serial/by-id/ that leads to the same device as `path`, when `path` is not
// itself such a name and one leads there; else empty.
std::string StableDeviceName(const std::string& path);
