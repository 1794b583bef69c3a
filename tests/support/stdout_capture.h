// Redirects standard output into a temporary file so tests can read the lines the
// writers produced, and whether they were flushed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <vector>
#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

class stdout_capture {
  public:
    stdout_capture() {
        static int serial = 0;
        fflush(stdout);
        path_ = (std::filesystem::temp_directory_path() /
                 ("varnex-capture-" + std::to_string(getpid()) + "-" + std::to_string(++serial)))
                    .string();
#ifdef _WIN32
        // The lines as written: no carriage returns added while captured.
        fd_ = _open(path_.c_str(), _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
        read_fd_ = _open(path_.c_str(), _O_RDONLY | _O_BINARY);
        saved_mode_ = _setmode(1, _O_BINARY);
#else
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        read_fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
#endif
        saved_ = dup(1);
        dup2(fd_, 1);
        setvbuf(stdout, nullptr, _IOFBF, BUFSIZ); // as when writing to a file or pipe
    }
    ~stdout_capture() {
        fflush(stdout);
        dup2(saved_, 1);
#ifdef _WIN32
        _setmode(1, saved_mode_);
#endif
        close(saved_);
        close(read_fd_);
        close(fd_);
        std::remove(path_.c_str());
    }
    // What has reached the file so far, without flushing.
    std::string unflushed_view() const {
        std::string out;
        char buf[4096];
        lseek(read_fd_, 0, SEEK_SET);
        int n;
        while ((n = int(read(read_fd_, buf, sizeof buf))) > 0)
            out.append(buf, size_t(n));
        return out;
    }
    std::string text() const {
        fflush(stdout);
        return unflushed_view();
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> v;
        std::string all = text(), cur;
        for (char c : all) {
            if (c == '\n') {
                v.push_back(cur);
                cur.clear();
            } else {
                cur += c;
            }
        }
        if (!cur.empty()) v.push_back(cur);
        return v;
    }

  private:
    std::string path_;
    int fd_ = -1;
    int read_fd_ = -1;
    int saved_ = -1;
#ifdef _WIN32
    int saved_mode_ = 0;
#endif
};
