#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "wine_com4/prefix_files.h"

namespace {

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string Directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Resolved(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

// Whether another process holds a lock on the file (as a running wineserver does on "lock").
bool LockHeld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
  const bool held = fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK;
  close(fd);
  return held;
}

bool WriteAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t written = write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

bool InGroupNow(gid_t group) {
  if (getegid() == group) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(NGROUPS_MAX));
  const int count = getgroups(static_cast<int>(groups.size()), groups.data());
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<std::size_t>(i)] == group) return true;
  }
  return false;
}

// Whether the user is listed as a member of the group (it applies from the next login).
bool ListedInGroup(const struct group* entry) {
  const struct passwd* user = getpwuid(getuid());
  if (user == nullptr) return false;
  if (user->pw_gid == entry->gr_gid) return true;
  for (char** member = entry->gr_mem; *member != nullptr; ++member) {
    if (std::strcmp(*member, user->pw_name) == 0) return true;
  }
  return false;
}

std::string GroupAdvice(const struct group* entry) {
  const std::string name = entry->gr_name;
  if (ListedInGroup(entry)) {
    return "this user is in the group '" + name +
           "', but this login is not yet: log out and in again";
  }
  return "join the group '" + name + "' (sudo usermod -aG " + name +
         " \"$USER\"), then log out and in again";
}

// A new file beside `name` in `directory`, only this user's until it is given its mode: its
// name in *temporary. Made exclusively, so that nothing already there (a link) is written.
int CreateBeside(int directory, const char* name, std::string* temporary) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[6] = {};
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    std::string candidate = std::string(name) + ".panel-relay-com4.";
    std::transform(std::begin(random), std::end(random), std::back_inserter(candidate),
                   [](unsigned char byte) { return kLetters[byte % 62]; });
    const int fd = openat(directory, candidate.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) {
      *temporary = std::move(candidate);
      return fd;
    }
  }
  return -1;
}

}  // namespace

DirectoryEntry LookAt(int directory, const char* name) {
  DirectoryEntry entry;
  if (fstatat(directory, name, &entry.status, AT_SYMLINK_NOFOLLOW) != 0) {
    entry.error = errno == ENOENT ? 0 : errno;
    return entry;
  }
  entry.exists = true;
  entry.link = S_ISLNK(entry.status.st_mode);
  return entry;
}

int OpenRegularFile(int directory, const char* name, struct stat* status) {
  // Looked at before it is opened: opening a device (a serial port, say) may already act on it.
  const DirectoryEntry entry = LookAt(directory, name);
  if (!entry.exists) {
    errno = entry.error == 0 ? ENOENT : entry.error;
    return -1;
  }
  if (entry.link || !S_ISREG(entry.status.st_mode)) {
    errno = entry.link ? ELOOP : EINVAL;
    return -1;
  }
  const int fd = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  // The name may have been given to another file in between: only a regular file is read.
  if (fstat(fd, status) != 0 || !S_ISREG(status->st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

int OpenSubdirectory(int directory, const char* name) {
  return openat(directory, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool ReadAll(int fd, const std::string& shown, std::string* content, std::string* error) {
  std::string data;
  char buffer[65536];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = SystemError(shown);
      return false;
    }
    data.append(buffer, static_cast<std::size_t>(got));
  }
  *content = std::move(data);
  return true;
}

bool WineserverRunning(int prefix, std::string* where) {
  struct stat prefix_stat {};
  if (fstat(prefix, &prefix_stat) != 0) return false;
  char server[64];
  std::snprintf(server, sizeof server, "/server-%llx-%llx",
                static_cast<unsigned long long>(prefix_stat.st_dev),
                static_cast<unsigned long long>(prefix_stat.st_ino));

  std::vector<std::string> roots;
  struct stat named_stat {};
  const int named_fd = OpenRegularFile(prefix, "wineserver", &named_stat);
  if (named_fd >= 0) {
    char named[256];  // one directory name, on the file's first line
    const ssize_t got = read(named_fd, named, sizeof named);
    close(named_fd);
    std::string name(named, got > 0 ? static_cast<std::size_t>(got) : 0);
    const std::size_t line_end = name.find_first_of("\r\n");
    if (line_end != std::string::npos) name.resize(line_end);
    if (!name.empty() && name.find('/') == std::string::npos) roots.push_back("/tmp/" + name);
  }
  // The user whose Wine serves the prefix is its owner: Wine refuses another's prefix.
  roots.push_back("/tmp/.wine-" + std::to_string(prefix_stat.st_uid));
  if (getuid() != prefix_stat.st_uid) roots.push_back("/tmp/.wine-" + std::to_string(getuid()));

  for (const std::string& root : roots) {
    const std::string directory = root + server;
    if (LockHeld(directory + "/lock")) {
      *where = directory;
      return true;
    }
  }
  return false;
}

bool ReplaceFile(int directory, const char* name, const std::string& shown, const struct stat& old,
                 const std::string& content, std::string* error) {
  std::string temporary;
  const int fd = CreateBeside(directory, name, &temporary);
  if (fd < 0) {
    *error = SystemError("cannot write in " + Directory(shown));
    return false;
  }
  const std::string shown_temporary = Directory(shown) + "/" + temporary;
  const bool written = WriteAll(fd, content) && fchmod(fd, old.st_mode & 07777) == 0 &&
                       (geteuid() != 0 || fchown(fd, old.st_uid, old.st_gid) == 0) &&
                       fsync(fd) == 0;
  const std::string write_error = written ? "" : SystemError(shown_temporary);
  close(fd);
  if (!written || renameat(directory, temporary.c_str(), directory, name) != 0) {
    *error = written ? SystemError(shown) : write_error;
    unlinkat(directory, temporary.c_str(), 0);
    return false;
  }
  return true;
}

bool ReplaceSymlink(int directory, const char* name, const std::string& shown,
                    const std::string& target, std::string* error) {
  const std::string temporary = std::string(name) + ".panel-relay-com4." + std::to_string(getpid());
  unlinkat(directory, temporary.c_str(), 0);
  if (symlinkat(target.c_str(), directory, temporary.c_str()) != 0) {
    *error = SystemError("cannot make a link in " + Directory(shown));
    return false;
  }
  struct stat directory_stat {};
  const bool owned = geteuid() != 0 || fstat(directory, &directory_stat) != 0 ||
                     fchownat(directory, temporary.c_str(), directory_stat.st_uid,
                              directory_stat.st_gid, AT_SYMLINK_NOFOLLOW) == 0;
  if (!owned) {
    *error = SystemError("cannot give the link its directory's owner");
    unlinkat(directory, temporary.c_str(), 0);
    return false;
  }
  if (renameat(directory, temporary.c_str(), directory, name) != 0) {
    *error = SystemError(shown);
    unlinkat(directory, temporary.c_str(), 0);
    return false;
  }
  return true;
}

std::string UserName(uid_t uid) {
  const struct passwd* user = getpwuid(uid);
  return user != nullptr ? std::string(user->pw_name) : std::to_string(uid);
}

DeviceState InspectDevice(const std::string& path) {
  DeviceState state;
  struct stat device {};
  if (stat(path.c_str(), &device) != 0) return state;
  state.exists = true;
  state.character = S_ISCHR(device.st_mode);
  state.resolved = Resolved(path);
  state.usable = access(path.c_str(), R_OK | W_OK) == 0;
  if (state.usable) return state;
  const struct group* entry = getgrgid(device.st_gid);
  const bool group_may = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (entry != nullptr && group_may && device.st_gid != 0) {
    state.advice = InGroupNow(device.st_gid)
                       ? "its group '" + std::string(entry->gr_name) + "' may, yet access is denied"
                       : GroupAdvice(entry);
  } else {
    state.advice = "only its owner may (is it the panel's device?)";
  }
  return state;
}

std::string StableDeviceName(const std::string& path) {
  static const std::string kById = "/dev/serial/by-id";
  if (path.rfind(kById + "/", 0) == 0) return {};
  const std::string device = Resolved(path);
  if (device.empty()) return {};
  DIR* directory = opendir(kById.c_str());
  if (directory == nullptr) return {};
  std::string found;
  while (const struct dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    const std::string name = kById + "/" + entry->d_name;
    if (Resolved(name) == device) {
      found = name;
      break;
    }
  }
  closedir(directory);
  return found;
}
