#include "platform/framework/Filer.h"

#include "platform/rtl/ByteCodec.h"
#include "platform/rtl/ScopeGuard.h"

namespace {

enum : uint8_t { vaEndOfList = 0, vaList = 1, vaString = 2, vaBinary = 3 };

}  // namespace

// ---- TWriter ----

void TWriter::WriteTag(uint8_t t) {
    FStream.WriteBuffer(&t, 1);
}

void TWriter::WriteU32(uint32_t v) {
    uint8_t b[4];
    bytes::PutU32(b, v);
    FStream.WriteBuffer(b, 4);
}

void TWriter::WritePropName(const std::string& name) {
    WriteU32(static_cast<uint32_t>(name.size()));
    if (!name.empty()) FStream.WriteBuffer(name.data(), static_cast<int64_t>(name.size()));
}

void TWriter::DefineProperty(const std::string& Name, const TReaderProc&, const TWriterProc& WriteData,
                             bool HasData) {
    if (!HasData || !WriteData) return;
    if (Name.empty()) throw EWriteError("Invalid property name");
    WritePropName(Name);
    WriteData(this);
}

void TWriter::DefineBinaryProperty(const std::string& Name, const TStreamProc&, const TStreamProc& WriteData,
                                   bool HasData) {
    if (!HasData || !WriteData) return;
    if (Name.empty()) throw EWriteError("Invalid property name");
    TMemoryStream data;
    WriteData(data);
    if (data.Size() > INT32_MAX) throw EWriteError("Binary property too large to store");
    WritePropName(Name);
    WriteTag(vaBinary);
    WriteU32(static_cast<uint32_t>(data.Size()));
    if (data.Size() > 0) FStream.WriteBuffer(data.Memory(), data.Size());
}

void TWriter::WriteListBegin() {
    WriteTag(vaList);
}

void TWriter::WriteListEnd() {
    WriteTag(vaEndOfList);
}

void TWriter::WriteString(const std::string& s) {
    if (s.size() > UINT32_MAX) throw EWriteError("String too long to store");
    WriteTag(vaString);
    WriteU32(static_cast<uint32_t>(s.size()));
    if (!s.empty()) FStream.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
}

// ---- TReader ----

uint8_t TReader::ReadTag() {
    uint8_t t = 0;
    FStream.ReadBuffer(&t, 1);
    return t;
}

uint8_t TReader::PeekTag() {
    uint8_t t = ReadTag();
    FStream.Seek(-1, soCurrent);
    return t;
}

uint32_t TReader::ReadU32() {
    uint8_t b[4];
    FStream.ReadBuffer(b, 4);
    return bytes::GetU32(b);
}

std::string TReader::ReadBytes(uint32_t n) {
    // A length beyond the end of the stream is corrupt data, not a reason to allocate.
    if (static_cast<int64_t>(n) > FStream.Size() - FStream.Position()) throw EReadError("Stream read error");
    std::string s(n, '\0');
    if (n > 0) FStream.ReadBuffer(s.data(), n);
    return s;
}

std::string TReader::ReadPropName() {
    return ReadBytes(ReadU32());
}

void TReader::BeginProperty(const std::string& name) {
    FPropName = name;
    FPropHandled = false;
}

void TReader::DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc&, bool) {
    if (FPropHandled || !ReadData || !SameText(Name, FPropName)) return;
    FPropHandled = true;
    ReadData(this);
}

void TReader::DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData, const TStreamProc&,
                                   bool) {
    if (FPropHandled || !ReadData || !SameText(Name, FPropName)) return;
    FPropHandled = true;
    if (ReadTag() != vaBinary) throw EReadError("Invalid property value");
    std::string bytes = ReadBytes(ReadU32());
    TMemoryStream data;
    if (!bytes.empty()) data.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    data.SetPosition(0);
    ReadData(data);
}

void TReader::ReadListBegin() {
    if (ReadTag() != vaList) throw EReadError("Invalid property value");
}

void TReader::ReadListEnd() {
    if (ReadTag() != vaEndOfList) throw EReadError("Invalid property value");
}

bool TReader::EndOfList() {
    return PeekTag() == vaEndOfList;
}

std::string TReader::ReadString() {
    if (ReadTag() != vaString) throw EReadError("Invalid property value");
    return ReadBytes(ReadU32());
}

// ---- component helpers ----

void WriteComponentProperties(TComponent* Component, TStream& Stream, TPersistent* Ancestor) {
    TWriter writer(Stream);
    writer.SetAncestor(Ancestor);
    Component->DefineProperties(&writer);
    writer.WritePropName("");
}

void ReadComponentProperties(TComponent* Component, TStream& Stream) {
    TReader reader(Stream);
    Component->Loading();
    TScopeGuard loaded([Component] { Component->Loaded(); });
    for (;;) {
        std::string name = reader.ReadPropName();
        if (name.empty()) break;
        reader.BeginProperty(name);
        Component->DefineProperties(&reader);
        if (!reader.PropHandled()) throw EReadError("Property " + name + " does not exist");
    }
}
