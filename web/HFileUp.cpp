// Multipart/form-data parsing over a 16 KB read window.
#include "web/HFileUp.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/rtl/SysUtils.h"
#include "web/HUtils.h"

namespace {

// A boundary line longer than this cannot be a real one (at most 70 characters plus the
// leading "--"); a long one would also leave no room in the window for the data.
constexpr size_t MaxBoundaryLength = 1024;

bool IsBlank(uint8_t c) {
    return c <= ' ';
}

}  // namespace

void AddFieldValue(const std::string& Name, const std::string& Value, TStrings* Fields) {
    if (Name.empty() || !Fields) return;
    std::string v = Value;
    int i = Fields->IndexOfName(Name);
    if (i >= 0) {
        v = Fields->ValueFromIndex(i) + "\r\n" + Value;
        Fields->Delete(i);
    }
    Fields->Add(Name + "=" + v);
}

TOwnedFileStream::~TOwnedFileStream() {
    if (Handle() >= 0) close(Handle());
}

// ---- TUploadBuffer

TUploadBuffer::TUploadBuffer(TUploadReadProc Read, int32_t Length)
    : FRead(std::move(Read)), FRemaining(Length > 0 ? Length : 0) {}

int32_t TUploadBuffer::Fill() {
    if (FPosition > 0) {
        FBefore = FData[FPosition - 1];
        std::memmove(FData, FData + FPosition, static_cast<size_t>(FHeld - FPosition));
        FHeld -= FPosition;
        FPosition = 0;
    }
    int32_t total = 0;
    while (FHeld < BufferSize && FRemaining > 0) {
        int32_t want = std::min({int32_t{4096}, BufferSize - FHeld, FRemaining});
        int32_t n = FRead ? FRead(FData + FHeld, want) : -1;
        if (n <= 0) {
            FRemaining = 0;
            break;
        }
        n = std::min(n, want);
        FHeld += n;
        FRemaining -= n;
        total += n;
        ProcessPendingMessages();
    }
    return total;
}

// ---- THttpFileUpload

THttpFileUpload::THttpFileUpload(TComponent* AOwner) : TComponent(AOwner) {}

std::string THttpFileUpload::ReadBoundary(TUploadBuffer& B) {
    const uint8_t* d = B.Data();
    const uint8_t* start = d + B.Position();
    const void* lf = std::memchr(start, '\n', static_cast<size_t>(B.Unread()));
    if (!lf) throw Exception("Fileupload: No boundary");
    const uint8_t* end = static_cast<const uint8_t*>(lf);
    std::string line(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    B.SetPosition(static_cast<int32_t>(end - d) + 1);
    if (line.empty() || line.size() > MaxBoundaryLength) throw Exception("Fileupload: No boundary");
    return line;
}

// Part headers: "Key: value; key=value" lines up to a blank line. Quotes become blanks and
// protect ':', '=', ';' and line ends inside them; names are looked up without regard to case.
void THttpFileUpload::ReadPartHeaders(TUploadBuffer& B, TStrings* List) {
    List->Clear();
    const uint8_t* d = B.Data();
    const int32_t held = B.Held();
    int32_t i = B.Position();
    int32_t start = i;
    int quotes = 0;
    bool keyPending = false;
    bool lineBlank = true;
    std::string key;
    auto text = [&](int32_t from, int32_t to) {
        std::string s(reinterpret_cast<const char*>(d + from), static_cast<size_t>(to - from));
        std::replace(s.begin(), s.end(), '"', ' ');
        return Trim(s);
    };
    bool ended = false;
    for (; i < held; ++i) {
        uint8_t c = d[i];
        if (c == '"') {
            ++quotes;
            lineBlank = false;
            continue;
        }
        if (quotes % 2 != 0) continue;
        if ((c == ':' || c == '=') && !keyPending) {
            key = text(start, i);
            keyPending = true;
            start = i + 1;
            lineBlank = false;
        } else if (c == ';' || c == '\n') {
            if (keyPending) {
                List->Add(key + "=" + text(start, i));
                keyPending = false;
            } else if (c == '\n' && lineBlank) {
                ended = true;
                ++i;
                break;
            }
            start = i + 1;
            if (c == '\n') lineBlank = true;
        } else if (!IsBlank(c)) {
            lineBlank = false;
        }
    }
    if (!ended && keyPending) List->Add(key + "=" + text(start, i));
    B.SetPosition(i);
    if (List->Count() == 0 && (!B.Empty() || B.MoreToRead())) throw Exception("Fileupload: No FieldInfo");
}

// The boundary counts once its whole line is in the buffer (or the body has ended), so its
// end is never misread when the buffer end cuts it. Data before it loses the CR LF that
// belongs to the boundary. Without a boundary, a full buffer passes on all but its last
// bytes (Window - boundary length are safe), which may hold the start of a boundary and the
// CR LF before it.
bool THttpFileUpload::CopyToBoundary(TUploadBuffer& B, const std::string& Boundary,
                                     const std::function<void(const uint8_t*, int32_t)>& Sink,
                                     bool& Closing) {
    Closing = false;
    const uint8_t* d = B.Data();
    const int32_t pos = B.Position();
    const int32_t held = B.Held();
    const int32_t blen = static_cast<int32_t>(Boundary.size());
    auto emit = [&](int32_t from, int32_t to) {
        if (to > from) Sink(d + from, to - from);
    };
    const uint8_t* b = reinterpret_cast<const uint8_t*>(Boundary.data());
    // A boundary starts a line: the same bytes inside a line are data of the part. Only line
    // starts are compared, each as far as it matches (a boundary holds no line break), so
    // the search stays linear whatever boundary the client chose.
    const uint8_t* it = d + held;
    for (int32_t p = pos; p < held;) {
        if (B.ByteBefore(p) == '\n' && held - p >= blen &&
            std::memcmp(d + p, b, static_cast<size_t>(blen)) == 0) {
            it = d + p;
            break;
        }
        const void* lf = std::memchr(d + p, '\n', static_cast<size_t>(held - p));
        if (!lf) break;
        p = static_cast<int32_t>(static_cast<const uint8_t*>(lf) - d) + 1;
    }
    if (it != d + held) {
        const int32_t p = static_cast<int32_t>(it - d);
        int32_t end = p;
        if (end > pos && d[end - 1] == '\n') {
            --end;
            if (end > pos && d[end - 1] == '\r') --end;
        }
        const int32_t after = p + blen;
        const void* lf = std::memchr(d + after, '\n', static_cast<size_t>(held - after));
        const bool stuck = pos == 0 && end == 0 && held == TUploadBuffer::BufferSize;
        if (lf || !B.MoreToRead() || stuck) {
            emit(pos, end);
            Closing = held - after >= 2 && d[after] == '-' && d[after + 1] == '-';
            B.SetPosition(lf ? static_cast<int32_t>(static_cast<const uint8_t*>(lf) - d) + 1 : held);
            return true;
        }
        // The boundary line is not complete yet: pass on the data before it and wait.
        emit(pos, end);
        B.SetPosition(end);
        return false;
    }
    if (!B.MoreToRead()) {
        emit(pos, held);
        B.SetPosition(held);
        return false;
    }
    const int32_t limit = TUploadBuffer::Window - blen;
    if (limit > pos) {
        emit(pos, limit);
        B.SetPosition(limit);
    }
    return false;
}

bool THttpFileUpload::ParseUpload(TUploadReadProc Read, int32_t Length, TStrings* Fields) {
    auto B = std::make_unique<TUploadBuffer>(std::move(Read), Length);
    B->Fill();
    const std::string boundary = ReadBoundary(*B);
    B->Fill();

    enum { sHeaders, sFile, sField } state = sHeaders;
    TStringList info;
    TStream* out = nullptr;
    bool freeOut = false;
    bool cancel = false;
    std::string value;
    auto releaseOut = [&] {
        if (freeOut) delete out;
        out = nullptr;
        freeOut = false;
    };
    try {
        for (;;) {
            bool closing = false;
            switch (state) {
                case sHeaders:
                    ReadPartHeaders(*B, &info);
                    if (!info.Values("filename").empty()) {
                        state = sFile;
                        out = nullptr;
                        freeOut = false;
                        cancel = false;
                        if (OnUploadPrepareFile) OnUploadPrepareFile(this, &info, out, freeOut, cancel);
                    } else {
                        state = sField;
                        value.clear();
                    }
                    break;
                case sFile:
                    if (CopyToBoundary(
                            *B, boundary,
                            [&](const uint8_t* p, int32_t n) {
                                if (out) out->WriteBuffer(p, n);
                            },
                            closing)) {
                        AddFieldValue(info.Values("Name"), info.Values("FileName"), Fields);
                        releaseOut();
                        state = sHeaders;
                    }
                    break;
                case sField:
                    if (CopyToBoundary(
                            *B, boundary,
                            [&](const uint8_t* p, int32_t n) {
                                value.append(reinterpret_cast<const char*>(p), n);
                            },
                            closing)) {
                        AddFieldValue(info.Values("Name"), value, Fields);
                        state = sHeaders;
                    }
                    break;
            }
            if (cancel) break;
            int32_t n = B->Fill();
            if (closing) break;  // what follows the closing boundary is not form data
            if (n == 0 && B->Empty()) break;
        }
    } catch (...) {
        releaseOut();
        throw;
    }
    // Also frees the stream of a file part that the end of the body cut short.
    releaseOut();
    return !cancel;
}
