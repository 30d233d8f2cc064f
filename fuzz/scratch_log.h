// The scratch session log that whole-file fuzz targets write each input to: one
// file per process on tmpfs (else /tmp), removed at exit.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "check.h"

namespace fuzz {

inline std::string& scratch_log_path() {
    static std::string path;
    return path;
}

// Writes `data` as the scratch log named after `target`; returns its path.
inline const std::string& write_scratch_log(const char* target, const uint8_t* data, size_t size) {
    std::string& path = scratch_log_path();
    if (path.empty()) {
        const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path = std::string(dir) + "/sessionrows-fuzz-" + target + "-" + std::to_string(::getpid()) + ".jsonl";
        std::atexit([] { ::unlink(scratch_log_path().c_str()); });
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) fail("cannot create the scratch log");
    while (size > 0) {
        ssize_t put = ::write(fd, data, size);
        if (put <= 0) fail("cannot write the scratch log");
        data += put;
        size -= static_cast<size_t>(put);
    }
    ::close(fd);
    return path;
}

}  // namespace fuzz
