#pragma once
// Multipart/form-data parser: splits a request body into form fields and uploaded files,
// reading it through a fixed 16 KB window so that large files never sit in memory.
#include <cstdint>
#include <functional>
#include <string>

#include "platform/framework/Component.h"
#include "platform/rtl/Classes.h"

// Where an uploaded file's bytes go: the handler sets OutStream (nil drops the bytes) and
// FreeOutStream (the parser frees the stream after the part), or CancelUpload.
using TUploadPrepareFileEvent = std::function<void(
    TObject* Sender, TStrings* ContentInfo, TStream*& OutStream, bool& FreeOutStream, bool& CancelUpload)>;

// Reads up to Count body bytes; returns the count read, 0 at the end, or a negative number.
using TUploadReadProc = std::function<int32_t(void* Buffer, int32_t Count)>;

// Adds Name=Value to a field list; a name already present keeps its value and gets the new
// one appended after CR LF.
void AddFieldValue(const std::string& Name, const std::string& Value, TStrings* Fields);

// The read window over the body.
class TUploadBuffer {
public:
    static constexpr int32_t BufferSize = 16384;
    // A boundary is looked for in the first Window bytes of a full buffer; what lies beyond
    // may be a boundary cut by the buffer end.
    static constexpr int32_t Window = 16374;

    TUploadBuffer(TUploadReadProc Read, int32_t Length);

    // Moves the unread bytes to the front and reads until the buffer is full or the body is
    // exhausted; returns the bytes read. A read of 0 or less ends the body: a client that
    // sends less than it announced must not hang the request.
    int32_t Fill();

    int32_t Unread() const { return FHeld - FPosition; }
    bool Empty() const { return Unread() == 0; }
    bool MoreToRead() const { return FRemaining > 0; }

    int32_t Remaining() const { return FRemaining; }
    int32_t Position() const { return FPosition; }  // 0-based read position
    int32_t Held() const { return FHeld; }
    const uint8_t* Data() const { return FData; }
    void SetPosition(int32_t p) { FPosition = p; }
    // The body byte before Data()[i], also when Fill has moved it out (LF before the body).
    uint8_t ByteBefore(int32_t i) const { return i > 0 ? FData[i - 1] : FBefore; }

private:
    TUploadReadProc FRead;
    int32_t FRemaining;
    int32_t FPosition = 0;
    int32_t FHeld = 0;
    uint8_t FBefore = '\n';
    uint8_t FData[BufferSize];
};

class THttpFileUpload : public TComponent {
public:
    explicit THttpFileUpload(TComponent* AOwner);

    // Parses a multipart body of Length bytes into Fields. A file part (one whose headers
    // name a non-empty filename) goes to the stream chosen by OnUploadPrepareFile and adds
    // the field name=original file name. Returns False when the handler cancelled.
    // Raises "Fileupload: No boundary" and "Fileupload: No FieldInfo".
    bool ParseUpload(TUploadReadProc Read, int32_t Length, TStrings* Fields);

    TUploadPrepareFileEvent OnUploadPrepareFile;

    // The steps, public for the parser's tests.
    static std::string ReadBoundary(TUploadBuffer& B);
    static void ReadPartHeaders(TUploadBuffer& B, TStrings* List);
    // Passes the bytes before the boundary to Sink. Returns True when the boundary ended
    // the part; Closing tells that it was the closing boundary ("--" follows it).
    static bool CopyToBoundary(TUploadBuffer& B, const std::string& Boundary,
                               const std::function<void(const uint8_t*, int32_t)>& Sink, bool& Closing);
};

// A file stream over a descriptor it owns (upload files are created exclusively).
class TOwnedFileStream : public THandleStream {
public:
    explicit TOwnedFileStream(int Fd) : THandleStream(Fd) {}
    ~TOwnedFileStream() override;
};
