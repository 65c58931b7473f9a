#pragma once
// Stored-form machinery: a component writes the properties it defines by hand
// (DefineProperties) to a stream and reads them back. The binary form is our own:
//   property block := { name value } end
//   name           := u32 length (little-endian) + bytes; a zero length ends the block
//   value          := tag byte, then: list (tag 1) values... end-of-list (tag 0),
//                     or string (tag 2) u32 length + bytes,
//                     or binary (tag 3) u32 length + bytes
#include <cstdint>
#include <functional>
#include <string>

#include "platform/framework/Component.h"
#include "platform/rtl/Classes.h"

class TReader;
class TWriter;
using TReaderProc = std::function<void(TReader* Reader)>;
using TWriterProc = std::function<void(TWriter* Writer)>;
using TStreamProc = std::function<void(TStream& Stream)>;

class TFiler : public TObject {
public:
    explicit TFiler(TStream& Stream) : FStream(Stream) {}
    // The object this one was inherited from (an ancestor form's component), or null;
    // a property equal to the ancestor's need not be written.
    TPersistent* Ancestor() const { return FAncestor; }
    void SetAncestor(TPersistent* a) { FAncestor = a; }
    // Writers call WriteData when HasData; readers call ReadData when the property
    // being read is Name.
    virtual void DefineProperty(const std::string& Name, const TReaderProc& ReadData,
                                const TWriterProc& WriteData, bool HasData) = 0;
    // A property stored as a block of bytes: the writer hands WriteData a stream to fill,
    // the reader hands ReadData a stream holding exactly the stored bytes.
    virtual void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData,
                                      const TStreamProc& WriteData, bool HasData) = 0;

protected:
    TStream& FStream;
    TPersistent* FAncestor = nullptr;
};

class TWriter : public TFiler {
public:
    using TFiler::TFiler;
    void DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                        bool HasData) override;
    void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData,
                              const TStreamProc& WriteData, bool HasData) override;
    void WriteListBegin();
    void WriteListEnd();
    void WriteString(const std::string& s);
    // Writes a property name; the empty name ends a property block.
    void WritePropName(const std::string& name);

private:
    void WriteTag(uint8_t t);
    void WriteU32(uint32_t v);
};

class TReader : public TFiler {
public:
    using TFiler::TFiler;
    void DefineProperty(const std::string& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                        bool HasData) override;
    void DefineBinaryProperty(const std::string& Name, const TStreamProc& ReadData,
                              const TStreamProc& WriteData, bool HasData) override;
    void ReadListBegin();
    void ReadListEnd();
    // True when the next value is the end of the current list (nothing is consumed).
    bool EndOfList();
    std::string ReadString();
    // Reads a property name; empty at the end of a property block.
    std::string ReadPropName();
    // The property now being read and whether a DefineProperty call consumed it.
    const std::string& PropName() const { return FPropName; }
    bool PropHandled() const { return FPropHandled; }
    void BeginProperty(const std::string& name);

private:
    uint8_t ReadTag();
    uint8_t PeekTag();
    uint32_t ReadU32();
    std::string ReadBytes(uint32_t n);
    std::string FPropName;
    bool FPropHandled = false;
};

// Writes the properties that Component defines (those with data against Ancestor)
// as one property block.
void WriteComponentProperties(TComponent* Component, TStream& Stream, TPersistent* Ancestor = nullptr);
// Reads one property block into Component, which is in the loading state meanwhile
// (Loading() before, Loaded() after). Malformed data, or a name the component does not
// define, raises EReadError.
void ReadComponentProperties(TComponent* Component, TStream& Stream);
