// Streams: the base with its buffer helpers, memory and string streams, and file and handle
// streams over POSIX descriptors.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/rtl/Classes.h"

namespace {

// Whether a call that failed with the current errno is to be made again: interrupted, or
// (on a descriptor left non-blocking, as some hosts hand over their pipes) once it can go on.
bool Again(int fd, short events) {
    if (errno == EINTR) return true;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    pollfd p{fd, events, 0};
    while (::poll(&p, 1, -1) < 0)
        if (errno != EINTR) return false;
    return true;
}

int64_t ReadFd(int fd, void* buf, int64_t count) {
    if (count <= 0) return 0;
    size_t n = static_cast<size_t>(std::min<int64_t>(count, std::numeric_limits<ssize_t>::max()));
    for (;;) {
        ssize_t r = ::read(fd, buf, n);
        if (r >= 0) return r;
        if (!Again(fd, POLLIN)) return 0;
    }
}

// Writes everything unless the descriptor fails; returns the bytes written.
int64_t WriteFd(int fd, const void* buf, int64_t count) {
    const char* p = static_cast<const char*>(buf);
    int64_t done = 0;
    while (done < count) {
        size_t n = static_cast<size_t>(std::min<int64_t>(count - done, std::numeric_limits<ssize_t>::max()));
        ssize_t r = ::write(fd, p + done, n);
        if (r < 0) {
            if (Again(fd, POLLOUT)) continue;
            break;
        }
        if (r == 0) break;
        done += r;
    }
    return done;
}

int64_t SeekFd(int fd, int64_t offset, TSeekOrigin origin) {
    int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

}  // namespace

// ---- TStream ----

int64_t TStream::Size() {
    int64_t pos = Seek(0, soCurrent);
    int64_t size = Seek(0, soEnd);
    Seek(pos, soBeginning);
    return size;
}

void TStream::SetSize(int64_t /*n*/) {}

int64_t TStream::SeekTarget(int64_t position, int64_t size, int64_t offset, TSeekOrigin origin) {
    const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position : size;
    int64_t target;
    if (__builtin_add_overflow(base, offset, &target))
        target = offset < 0 ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    return target;
}

void TStream::ReadBuffer(void* buf, int64_t count) {
    char* p = static_cast<char*>(buf);
    int64_t done = 0;
    while (done < count) {
        int64_t r = Read(p + done, count - done);
        if (r <= 0) throw EReadError("Stream read error");
        done += r;
    }
}

void TStream::WriteBuffer(const void* buf, int64_t count) {
    const char* p = static_cast<const char*>(buf);
    int64_t done = 0;
    while (done < count) {
        int64_t r = Write(p + done, count - done);
        if (r <= 0) throw EWriteError("Stream write error");
        done += r;
    }
}

int64_t TStream::CopyFrom(TStream& src, int64_t count) {
    if (count == 0) {
        src.SetPosition(0);
        count = src.Size();
    }
    if (count < 0) return 0;
    constexpr int64_t kChunk = 64 * 1024;
    std::vector<char> buf(static_cast<size_t>(std::min(count, kChunk)));
    int64_t left = count;
    while (left > 0) {
        int64_t n = std::min(left, kChunk);
        src.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        left -= n;
    }
    return count;
}

// ---- TMemoryStream ----

int64_t TMemoryStream::Read(void* buf, int64_t count) {
    if (FPos < 0 || count <= 0) return 0;
    int64_t avail = Size() - FPos;
    if (avail <= 0) return 0;
    int64_t n = std::min(avail, count);
    std::memcpy(buf, FData.data() + FPos, static_cast<size_t>(n));
    FPos += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buf, int64_t count) {
    if (FPos < 0 || count <= 0 || count > std::numeric_limits<int64_t>::max() - FPos) return 0;
    int64_t end = FPos + count;
    if (end > Size()) FData.resize(static_cast<size_t>(end));
    std::memcpy(FData.data() + FPos, buf, static_cast<size_t>(count));
    FPos = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    FPos = SeekTarget(FPos, Size(), offset, origin);
    return FPos;
}

void TMemoryStream::SetSize(int64_t n) {
    if (n < 0) n = 0;
    FData.resize(static_cast<size_t>(n));
    if (FPos > n) FPos = n;
}

void TMemoryStream::Clear() {
    FData.clear();
    FData.shrink_to_fit();
    FPos = 0;
}

void TMemoryStream::LoadFromStream(TStream& s) {
    s.SetPosition(0);
    int64_t count = s.Size();
    SetSize(count);
    if (count != 0) s.ReadBuffer(FData.data(), count);
}

void TMemoryStream::SaveToStream(TStream& s) {
    if (!FData.empty()) s.WriteBuffer(FData.data(), Size());
}

void TMemoryStream::LoadFromFile(const std::string& path) {
    TFileStream f(path, fmOpenRead | fmShareDenyNone);
    LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& path) {
    TFileStream f(path, fmCreate);
    SaveToStream(f);
}

// ---- TStringStream ----

TStringStream::TStringStream(const std::string& s) {
    if (!s.empty()) {
        Write(s.data(), static_cast<int64_t>(s.size()));
        SetPosition(0);
    }
}

std::string TStringStream::DataString() const {
    return std::string(reinterpret_cast<const char*>(Memory()), const_cast<TStringStream*>(this)->Size());
}

// ---- TFileStream ----

TFileStream::TFileStream(const std::string& path, uint16_t mode) : FFileName(path) {
    if (mode == fmCreate) {
        FHandle = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (FHandle < 0) throw EFCreateError("Cannot create file \"" + path + "\"");
        return;
    }
    int flags;
    switch (mode & 3) {
        case fmOpenRead:
            flags = O_RDONLY;
            break;
        case fmOpenWrite:
            flags = O_WRONLY;
            break;
        case fmOpenReadWrite:
            flags = O_RDWR;
            break;
        default:
            throw EFOpenError("Cannot open file \"" + path + "\"");
    }
    FHandle = ::open(path.c_str(), flags | O_CLOEXEC);
    struct stat st {};
    if (FHandle >= 0 && (::fstat(FHandle, &st) != 0 || S_ISDIR(st.st_mode))) {
        ::close(FHandle);
        FHandle = -1;
    }
    if (FHandle < 0) throw EFOpenError("Cannot open file \"" + path + "\"");
}

TFileStream::~TFileStream() {
    if (FHandle >= 0) ::close(FHandle);
}

int64_t TFileStream::Read(void* buf, int64_t count) {
    return ReadFd(FHandle, buf, count);
}

int64_t TFileStream::Write(const void* buf, int64_t count) {
    return WriteFd(FHandle, buf, count);
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    return SeekFd(FHandle, offset, origin);
}

void TFileStream::SetSize(int64_t n) {
    Seek(n, soBeginning);
    if (::ftruncate(FHandle, static_cast<off_t>(n)) != 0) RaiseOSError(errno);
}

// ---- THandleStream ----

int64_t THandleStream::Read(void* buf, int64_t count) {
    return ReadFd(FHandle, buf, count);
}

int64_t THandleStream::Write(const void* buf, int64_t count) {
    return WriteFd(FHandle, buf, count);
}

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
    return SeekFd(FHandle, offset, origin);
}
