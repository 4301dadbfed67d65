// _wfopen on the machine's file system, and wide formatted output to streams: a text-mode stream
// gets narrow text in the machine's ANSI code page with "\n" as "\r\n"; a binary one gets the
// UTF-16LE units themselves, as the Microsoft runtime writes them.
#include "Src/CrtInternal.h"

#include "Machine/Faults.h"
#include "Machine/FileSystem.h"
#include "Machine/Machine.h"

#include <errno.h>
#include <io.h>
#include <stdio.h>
#include <sys/stat.h>
#include <wchar.h>

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

// The streams _wfopen opened in text mode. fclose is the C library's, so an entry outlives its
// stream; one is trusted only while its descriptor still names the same file, and a stream that
// _wfopen hands out again replaces it.
class TextStreams {
public:
    static TextStreams& Get() {
        static TextStreams* streams = new TextStreams;  // never destroyed: usable at exit
        return *streams;
    }

    void Set(FILE* stream, bool text) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(),
                                       [stream](const Entry& e) { return e.stream == stream; }),
                        m_entries.end());
        struct stat st;
        int fd = fileno(stream);
        if (text && fstat(fd, &st) == 0) {
            m_entries.push_back({stream, fd, st.st_dev, st.st_ino});
        }
    }

    bool IsText(FILE* stream) {
        if (stream == stdout || stream == stderr) {
            return true;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        for (const Entry& e : m_entries) {
            if (e.stream == stream) {
                struct stat st;
                int fd = fileno(stream);
                return fd == e.fd && fstat(fd, &st) == 0 && st.st_dev == e.dev &&
                       st.st_ino == e.ino;
            }
        }
        return false;
    }

private:
    struct Entry {
        FILE* stream;
        int fd;
        dev_t dev;
        ino_t ino;
    };
    std::mutex m_lock;
    std::vector<Entry> m_entries;
};

// Writes the engine's output to a locked stream in chunks.
class StreamSink final : public crt::WideSink {
public:
    StreamSink(FILE* stream, bool text) : m_stream(stream), m_text(text) {
        m_codePage = crt::AnsiCodePage();
        if (m_codePage != CP_UTF8 && m_codePage != 28591) {
            m_codePage = 1252;
        }
    }

    void Put(const WCHAR* text, size_t length) override {
        for (size_t i = 0; i < length; ++i) {
            if (m_used + 2 > kChunk) {
                Flush(false);
            }
            if (m_text && text[i] == u'\n') {
                m_chunk[m_used++] = u'\r';
            }
            m_chunk[m_used++] = text[i];
        }
    }
    // Writes what is left; false when any write failed.
    bool Finish() {
        Flush(true);
        return !m_failed;
    }

private:
    static constexpr size_t kChunk = 256;

    void Flush(bool last) {
        size_t count = m_used;
        // A pair split across chunks is converted whole with the next chunk.
        if (!last && count && m_chunk[count - 1] >= 0xD800 && m_chunk[count - 1] <= 0xDBFF) {
            --count;
        }
        if (m_text) {
            // Characters the code page lacks are written as its default character, '?'.
            char narrow[kChunk * 3];
            size_t written = 0;
            crt::ToNarrow(m_codePage, 0, m_chunk, count, narrow, sizeof narrow, nullptr, nullptr,
                          &written);
            Write(narrow, written);
        } else {
            unsigned char bytes[kChunk * 2];
            for (size_t i = 0; i < count; ++i) {
                bytes[2 * i] = static_cast<unsigned char>(m_chunk[i] & 0xFF);
                bytes[2 * i + 1] = static_cast<unsigned char>(m_chunk[i] >> 8);
            }
            Write(bytes, count * 2);
        }
        std::copy(m_chunk + count, m_chunk + m_used, m_chunk);
        m_used -= count;
    }

    void Write(const void* data, size_t size) {
        if (size && fwrite_unlocked(data, 1, size, m_stream) != size) {
            m_failed = true;
        }
    }

    FILE* m_stream;
    bool m_text;
    UINT m_codePage;
    WCHAR m_chunk[kChunk];
    size_t m_used = 0;
    bool m_failed = false;
};

int ErrnoOf(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_PATHNAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        default:
            return EINVAL;
    }
}

// The C library's mode for a runtime mode: r, w or a, then any of + b t once each (b and t
// exclusive). False for anything else.
bool HostMode(const WCHAR* mode, char hostMode[4], bool* text) {
    size_t n = 0;
    if (*mode != u'r' && *mode != u'w' && *mode != u'a') {
        return false;
    }
    hostMode[n++] = char(*mode++);
    bool plus = false, binary = false, textFlag = false;
    for (; *mode; ++mode) {
        if (*mode == u'+' && !plus) {
            plus = true;
        } else if (*mode == u'b' && !binary && !textFlag) {
            binary = true;
        } else if (*mode == u't' && !textFlag && !binary) {
            textFlag = true;
        } else {
            return false;
        }
    }
    if (plus) {
        hostMode[n++] = '+';
    }
    hostMode[n] = 0;
    *text = !binary;  // text is the runtime's default mode
    return true;
}

}  // namespace

FILE* _wfopen(const WCHAR* filename, const WCHAR* mode) {
    char hostMode[4];
    bool text = true;
    if (!filename || !mode || !*filename || !HostMode(mode, hostMode, &text)) {
        crt::InvalidParameter(EINVAL);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    if (sim::InjectedFault("_wfopen", &error)) {
        errno = ErrnoOf(error);
        return nullptr;
    }
    std::string hostPath;
    if (sim::Machine::Get().Files().HostPath(filename, &hostPath) != ERROR_SUCCESS) {
        errno = ENOENT;
        return nullptr;
    }
    FILE* stream = fopen(hostPath.c_str(), hostMode);
    if (!stream) {
        if (errno == EISDIR) {
            errno = EACCES;  // what Windows gives for a directory
        }
        return nullptr;
    }
    TextStreams::Get().Set(stream, text);
    return stream;
}

int vfwprintf(FILE* stream, const WCHAR* format, va_list argptr) {
    if (!stream || !format) {
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    bool text = TextStreams::Get().IsText(stream);
    flockfile(stream);
    StreamSink sink(stream, text);
    long length = crt::FormatWide(sink, format, argptr);
    bool failed = !sink.Finish();
    funlockfile(stream);
    return failed || length < 0 ? -1 : int(length);
}

int fwprintf(FILE* stream, const WCHAR* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vfwprintf(stream, format, args);
    va_end(args);
    return result;
}

int _fileno(FILE* stream) {
    if (!stream) {
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    return fileno(stream);
}

long _filelength(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        crt::InvalidParameter(EBADF);
        return -1;
    }
    return long(st.st_size);
}
