// What panel-relay-com4 needs of a Wine prefix and of the machine's devices (Linux): the prefix's
// own files, reached through its directory without following links the prefix's owner may have
// put there (root may run the tool on another user's prefix); whether a wineserver serves the
// prefix; atomic replacement of a file and of a link; and what a device path leads to and
// whether this user may use it.
#pragma once

#include <sys/stat.h>

#include <string>

// A file of a directory as it is under its name there: a link is not followed.
struct DirectoryEntry {
  bool exists = false;
  bool link = false;      // a symbolic link
  struct stat status {};  // when it exists, of the entry itself
  int error = 0;          // errno when it could not be looked at
};

DirectoryEntry LookAt(int directory, const char* name);

// Opens the regular file `name` of `directory` for reading, not following a link and not
// waiting on a FIFO; -1 (errno set; ELOOP for a link, EINVAL for anything not a regular file)
// otherwise. *status is the opened file's.
int OpenRegularFile(int directory, const char* name, struct stat* status);

// Opens the directory `name` of `directory`, not following a link; -1 with errno otherwise.
int OpenSubdirectory(int directory, const char* name);

// Reads what is left of an open file; false with *error set (`shown`: the system's words) when
// it cannot.
bool ReadAll(int fd, const std::string& shown, std::string* content, std::string* error);

// Whether a wineserver serves the prefix (its directory open as `prefix`) now. A running server
// holds a lock on the file "lock" in its directory, server-<device>-<inode> of the prefix, under
// /tmp/.wine-<uid> (Wine as built upstream, Proton) or under the directory that the prefix's
// file "wineserver" names (Debian's Wine). *where is set to that directory when one runs.
bool WineserverRunning(int prefix, std::string* where);

// Replaces the file `name` of `directory` (`shown` in messages) with a new file holding
// `content`, through a file beside it renamed over it, so that a reader sees the old file or
// the new one, never a part. The new file keeps the mode and (when run as root) the owner of
// `old`, the file's status. False with *error set and the file untouched otherwise.
bool ReplaceFile(int directory, const char* name, const std::string& shown, const struct stat& old,
                 const std::string& content, std::string* error);

// Makes `name` of `directory` (`shown` in messages) a symbolic link to `target` the same way: a
// new link renamed over the old. When run as root it is given the directory's owner.
bool ReplaceSymlink(int directory, const char* name, const std::string& shown,
                    const std::string& target, std::string* error);

// The name of the user `uid`, or its number where it has none.
std::string UserName(uid_t uid);

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
