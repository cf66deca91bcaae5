// A file that may not change whoever writes it (the tests run as root, for whom
// permission bits stop nothing): the immutable or append-only attribute, where
// the file system and the process's rights allow it.
#pragma once
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

namespace vorn_test {

// Sets or clears an attribute of the file (FS_IMMUTABLE_FL: no change at all;
// FS_APPEND_FL: appends only); false when it cannot be (a file system without
// attributes, a process without the right).
inline bool set_attribute(const std::string& path, int flag, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = on ? flags | flag : flags & ~flag;
        done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    close(fd);
    return done;
}

inline bool set_immutable(const std::string& path, bool on) { return set_attribute(path, FS_IMMUTABLE_FL, on); }

// The attribute set for as long as the object lives, so that the folder can be removed after.
struct HeldAttribute {
    std::string path;
    int flag;
    bool set;
    HeldAttribute(std::string p, int f) : path(std::move(p)), flag(f), set(set_attribute(path, flag, true)) {}
    ~HeldAttribute() {
        if (set) set_attribute(path, flag, false);
    }
    HeldAttribute(const HeldAttribute&) = delete;
    HeldAttribute& operator=(const HeldAttribute&) = delete;
};
struct ImmutableFile : HeldAttribute {
    explicit ImmutableFile(std::string p) : HeldAttribute(std::move(p), FS_IMMUTABLE_FL) {}
};
struct AppendOnlyFile : HeldAttribute {
    explicit AppendOnlyFile(std::string p) : HeldAttribute(std::move(p), FS_APPEND_FL) {}
};

}  // namespace vorn_test
