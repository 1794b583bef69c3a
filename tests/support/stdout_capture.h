// Redirects standard output into a temporary file so tests can read the lines the
// writers produced, and whether they were flushed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

class stdout_capture {
  public:
    stdout_capture() {
        fflush(stdout);
        char path[] = "/tmp/varnex-capture-XXXXXX";
        fd_ = mkstemp(path);
        unlink(path);
        saved_ = dup(1);
        dup2(fd_, 1);
        setvbuf(stdout, nullptr, _IOFBF, BUFSIZ); // as when writing to a file or pipe
    }
    ~stdout_capture() {
        fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
        close(fd_);
    }
    // What has reached the file so far, without flushing.
    std::string unflushed_view() const {
        std::string out;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = pread(fd_, buf, sizeof buf, off)) > 0) {
            out.append(buf, size_t(n));
            off += n;
        }
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
    int fd_ = -1;
    int saved_ = -1;
};
