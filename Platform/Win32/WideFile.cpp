// _wfopen on the machine's file system, and wide formatted output to streams: a text-mode stream
// gets narrow text in the machine's ANSI code page with "\n" as "\r\n"; a binary one gets the
// UTF-16LE units themselves, as the Microsoft runtime writes them.
#include "Win32/CrtInternal.h"

#include "Machine/Faults/Faults.h"
#include "Machine/Files/FileSystem.h"
#include "Machine/Machine.h"

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wchar.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace {

// The streams _wfopen opened. Each is a stream of ours over its own descriptor, so that its
// fclose removes it here: a FILE the C library hands out again is never taken for an old one, and
// asking a stream's mode costs no system call.
class Streams {
public:
    static Streams& Get() {
        static Streams* streams = new Streams;  // never destroyed: usable at exit
        return *streams;
    }

    // A stream that owns `fd`, with the C library's `hostMode`; null (errno set, `fd` closed)
    // when none can be made.
    FILE* Open(int fd, const char* hostMode, bool text) {
        Cookie* cookie = new (std::nothrow) Cookie{fd, text, nullptr};
        FILE* stream = cookie ? fopencookie(cookie, hostMode, {Read, Write, Seek, Close}) : nullptr;
        if (stream == nullptr) {
            delete cookie;
            close(fd);
            errno = ENOMEM;
            return nullptr;
        }
        cookie->stream = stream;
        try {
            std::lock_guard<std::mutex> lock(m_lock);
            m_open.push_back(cookie);
            ++m_generation;
        } catch (const std::bad_alloc&) {
            fclose(stream);  // closes `fd` too
            errno = ENOMEM;
            return nullptr;
        }
        return stream;
    }

    bool IsText(FILE* stream) {
        if (stream == stdout || stream == stderr) {
            return true;
        }
        Cookie* cookie = Lookup(stream);
        return cookie != nullptr && cookie->text;
    }

    // Writes straight to the descriptor when the C library holds nothing of the stream: no
    // buffer, no pushed-back bytes and no remembered position, so that its later fflush, ftell
    // and fclose see what they would after writing the bytes themselves. A line then costs one
    // write and no copy. The bytes written; 0 when the stream must take them instead. Call with
    // the stream locked.
    size_t WriteUnbuffered(FILE* stream, const char* data, size_t size) {
        if (stream->_IO_buf_base != nullptr || stream->_IO_save_base != nullptr ||
            stream->_offset != -1) {
            return 0;
        }
        Cookie* cookie = Lookup(stream);
        if (cookie == nullptr) {
            return 0;
        }
        ssize_t done = Write(cookie, data, size);
        return done > 0 ? size_t(done) : 0;  // the stream retries the rest and keeps the error
    }

    int Descriptor(FILE* stream) {
        Cookie* cookie = Lookup(stream);
        return cookie != nullptr ? cookie->fd : fileno(stream);
    }

private:
    struct Cookie {
        int fd;
        bool text;
        FILE* stream;
    };
    struct Answer {
        FILE* stream;
        uint64_t generation;
        Cookie* cookie;
    };

    // The trace asks about its stream on every line: a thread's last answer holds while no
    // stream has been opened or closed since.
    Cookie* Lookup(FILE* stream) {
        thread_local Answer t_last;
        uint64_t generation = m_generation.load(std::memory_order_acquire);
        if (t_last.stream != stream || t_last.generation != generation) {
            t_last = {stream, generation, Find(stream)};
        }
        return t_last.cookie;
    }

    Cookie* Find(FILE* stream) {
        std::lock_guard<std::mutex> lock(m_lock);
        for (Cookie* cookie : m_open) {
            if (cookie->stream == stream) {
                return cookie;
            }
        }
        return nullptr;
    }

    static ssize_t Read(void* cookie, char* buffer, size_t size) {
        return TEMP_FAILURE_RETRY(read(static_cast<Cookie*>(cookie)->fd, buffer, size));
    }
    static ssize_t Write(void* cookie, const char* data, size_t size) {
        size_t done = 0;
        while (done < size) {
            ssize_t n = TEMP_FAILURE_RETRY(
                write(static_cast<Cookie*>(cookie)->fd, data + done, size - done));
            if (n <= 0) {
                return done > 0 ? ssize_t(done) : -1;
            }
            done += size_t(n);
        }
        return ssize_t(done);
    }
    static int Seek(void* cookie, off64_t* position, int whence) {
        off64_t result = lseek64(static_cast<Cookie*>(cookie)->fd, *position, whence);
        if (result < 0) {
            return -1;
        }
        *position = result;
        return 0;
    }
    // fclose's last step; the FILE is freed after it.
    static int Close(void* cookie) {
        Cookie* closing = static_cast<Cookie*>(cookie);
        {
            std::lock_guard<std::mutex> lock(Get().m_lock);
            std::vector<Cookie*>& open = Get().m_open;
            auto found = std::find(open.begin(), open.end(), closing);
            if (found != open.end()) {
                open.erase(found);
            }
            ++Get().m_generation;
        }
        int result = close(closing->fd);
        delete closing;
        return result;
    }

    std::mutex m_lock;
    std::vector<Cookie*> m_open;            // a process has a few streams open
    std::atomic<uint64_t> m_generation{0};  // opens and closes so far, changed under m_lock
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

    // Copies runs up to the next line feed, which text mode writes as "\r\n".
    void Put(const WCHAR* text, size_t length) override {
        while (length > 0) {
            if (m_used + 2 > kChunk) {
                Flush(false);
            }
            size_t room = std::min(length, kChunk - 1 - m_used);
            size_t run = m_text ? size_t(std::find(text, text + room, u'\n') - text) : room;
            std::copy(text, text + run, m_chunk + m_used);
            m_used += run;
            if (run < room) {
                m_chunk[m_used++] = u'\r';
                m_chunk[m_used++] = u'\n';
                ++run;
            }
            text += run;
            length -= run;
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
            // ASCII is itself in every code page a stream can have; characters the code page
            // lacks are written as its default character, '?'.
            char narrow[kChunk * 3];
            WCHAR bits = 0;
            for (size_t i = 0; i < count; ++i) {
                bits |= m_chunk[i];
                narrow[i] = char(m_chunk[i]);
            }
            size_t written = count;
            if (bits >= 0x80) {
                crt::ToNarrow(m_codePage, m_chunk, count, narrow, sizeof narrow, nullptr, nullptr,
                              &written);
            }
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

// Narrows `count` units to bytes and counts the line feeds; false when any unit is not ASCII.
// Eight units a step with no branch on the text: it runs over every trace line.
bool NarrowAscii(const WCHAR* text, size_t count, char* narrow, size_t* feeds) {
    using Units = uint16_t __attribute__((vector_size(16)));
    using Bytes = uint8_t __attribute__((vector_size(8)));
    Units bits = {};
    Units found = {};  // each lane counts down once per line feed
    const Units feed = {u'\n', u'\n', u'\n', u'\n', u'\n', u'\n', u'\n', u'\n'};
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        Units units;
        memcpy(&units, text + i, sizeof units);
        bits |= units;
        found += (Units)(units == feed);
        Bytes bytes = __builtin_convertvector(units, Bytes);
        memcpy(narrow + i, &bytes, sizeof bytes);
    }
    uint16_t rest = 0;
    size_t lines = 0;
    for (; i < count; ++i) {
        rest |= text[i];
        lines += text[i] == u'\n';
        narrow[i] = char(text[i]);
    }
    for (int k = 0; k < 8; ++k) {
        rest |= bits[k];
        lines += uint16_t(-found[k]);
    }
    *feeds = lines;
    return rest < 0x80;
}

// Writes each "\n" of the first `count` bytes as "\r\n", in place (the buffer has room for
// twice `count`); the new length.
size_t ExpandLineFeeds(char* narrow, size_t count) {
    size_t end = count + size_t(std::count(narrow, narrow + count, '\n'));
    size_t length = end;
    for (size_t i = count; i < end;) {  // `i` stops moving when no line feed is left before it
        --i;
        narrow[--end] = narrow[i];
        if (narrow[i] == '\n') {
            narrow[--end] = '\r';
        }
    }
    return length;
}

// fwprintf(stream, "%s", text) on a text stream when the text is ASCII and fits one buffer, as
// the engine and the sink would write it (the trace writes every line so): the bytes themselves
// with "\n" as "\r\n". False, having written nothing, for any other text.
bool PutAsciiText(FILE* stream, const WCHAR* text, long* length) {
    const size_t kMaxUnits = 1280;  // a trace line has at most 1,152 characters
    char narrow[kMaxUnits * 2];
    size_t count = wcslen(text);
    size_t feeds = 0;
    if (count > kMaxUnits || !NarrowAscii(text, count, narrow, &feeds)) {
        return false;
    }
    size_t used = count;
    // A trace line's only line feed is its last character.
    if (feeds == 1 && narrow[count - 1] == '\n') {
        narrow[count - 1] = '\r';
        narrow[count] = '\n';
        used = count + 1;
    } else if (feeds != 0) {
        used = ExpandLineFeeds(narrow, count);
    }
    size_t direct = Streams::Get().WriteUnbuffered(stream, narrow, used);
    bool failed = used > direct &&
                  fwrite_unlocked(narrow + direct, 1, used - direct, stream) != used - direct;
    *length = failed ? -1 : long(count);
    return true;
}

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

// open's flags for a C library mode, as fopen opens the file.
int OpenFlags(const char* hostMode) {
    int access = hostMode[1] == '+' ? O_RDWR : hostMode[0] == 'r' ? O_RDONLY : O_WRONLY;
    switch (hostMode[0]) {
        case 'w':
            return access | O_CREAT | O_TRUNC;
        case 'a':
            return access | O_CREAT | O_APPEND;
        default:
            return access;
    }
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
    int fd = TEMP_FAILURE_RETRY(open(hostPath.c_str(), OpenFlags(hostMode), 0666));
    if (fd < 0) {
        if (errno == EISDIR) {
            errno = EACCES;  // what Windows gives for a directory
        }
        return nullptr;
    }
    return Streams::Get().Open(fd, hostMode, text);
}

int fwprintf(FILE* stream, const WCHAR* format, ...) {
    if (!stream || !format) {
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    bool text = Streams::Get().IsText(stream);
    va_list args;
    flockfile(stream);
    if (text && format[0] == u'%' && format[1] == u's' && format[2] == 0) {
        va_start(args, format);
        const WCHAR* string = va_arg(args, const WCHAR*);
        va_end(args);
        long length = 0;
        if (PutAsciiText(stream, string ? string : u"(null)", &length)) {
            funlockfile(stream);
            return int(length);
        }
    }
    StreamSink sink(stream, text);
    va_start(args, format);
    long length = crt::FormatWide(sink, format, args);
    va_end(args);
    bool failed = !sink.Finish();
    funlockfile(stream);
    return failed || length < 0 ? -1 : int(length);
}

int _fileno(FILE* stream) {
    if (!stream) {
        crt::InvalidParameter(EINVAL);
        return -1;
    }
    return Streams::Get().Descriptor(stream);
}

long _filelength(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        crt::InvalidParameter(EBADF);
        return -1;
    }
    return long(st.st_size);
}
