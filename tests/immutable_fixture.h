// A file that may not change whoever writes it (the tests run as root, for whom
// permission bits stop nothing): the immutable attribute, where the file
// system and the process's rights allow it.
#pragma once
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

namespace vorn_test {

// Sets or clears the immutable attribute of the file; false when it cannot be
// (a file system without attributes, a process without the right).
inline bool set_immutable(const std::string& path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

// The attribute set for as long as the object lives, so that the folder can be removed after.
struct ImmutableFile {
    std::string path;
    bool set;
    explicit ImmutableFile(std::string p) : path(std::move(p)), set(set_immutable(path, true)) {}
    ~ImmutableFile() {
        if (set) set_immutable(path, false);
    }
    ImmutableFile(const ImmutableFile&) = delete;
    ImmutableFile& operator=(const ImmutableFile&) = delete;
};

}  // namespace vorn_test
