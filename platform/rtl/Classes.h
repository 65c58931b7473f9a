#pragma once
// Persistent objects, string lists and streams with the framework's semantics.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/rtl/SysUtils.h"
#include "platform/rtl/System.h"

class TPersistent : public TObject {
public:
    // Copies from Source; the default asks Source->AssignTo and raises EConvertError
    // ("Cannot assign a <class> to a <class>") when neither side knows the other.
    virtual void Assign(TPersistent* Source);

protected:
    virtual void AssignTo(TPersistent* Dest);
};

enum TDuplicates { dupIgnore, dupAccept, dupError };

class TStrings : public TPersistent {
public:
    virtual int Count() const = 0;
    virtual std::string Get(int index) const = 0;
    virtual void Put(int index, const std::string& s) = 0;
    virtual TObject* GetObject(int index) const = 0;
    virtual void PutObject(int index, TObject* o) = 0;
    virtual void Insert(int index, const std::string& s) = 0;
    virtual void Delete(int index) = 0;
    virtual void Clear() = 0;
    virtual int Add(const std::string& s);
    virtual int AddObject(const std::string& s, TObject* o);
    void AddStrings(const TStrings& other);
    virtual int IndexOf(const std::string& s) const;  // case-insensitive
    virtual int IndexOfName(const std::string& name) const;  // case-insensitive, split at the first '='
    std::string Names(int index) const;
    std::string ValueFromIndex(int index) const;
    std::string Values(const std::string& name) const;
    void SetValues(const std::string& name, const std::string& value);  // empty value deletes
    std::string operator[](int i) const { return Get(i); }
    // Lines joined with CR LF, each line terminated. SetText splits at CR LF, LF or CR.
    std::string Text() const;
    void SetText(const std::string& t);
    std::string CommaText() const;
    void SetCommaText(const std::string& t);
    void BeginUpdate();
    void EndUpdate();
    int UpdateCount() const { return FUpdateCount; }
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;
    void Assign(TPersistent* Source) override;
    bool Equals(const TStrings& other) const;

protected:
    virtual void SetUpdateState(bool /*updating*/) {}
    // Comparison of IndexOf and IndexOfName: case-insensitive here, TStringList honours CaseSensitive.
    virtual int CompareStrings(const std::string& a, const std::string& b) const;

private:
    int FUpdateCount = 0;
};

class TStringList : public TStrings {
public:
    TStringList() = default;
    TStringList(const TStringList& o);
    TStringList& operator=(const TStringList& o);
    int Count() const override { return static_cast<int>(FItems.size()); }
    std::string Get(int index) const override;  // EListError "List index out of bounds (%d)"
    void Put(int index, const std::string& s) override;
    TObject* GetObject(int index) const override;
    void PutObject(int index, TObject* o) override;
    void Insert(int index, const std::string& s) override;
    void Delete(int index) override;
    void Clear() override;
    int Add(const std::string& s) override;  // sorted lists insert in order and honour Duplicates
    int AddObject(const std::string& s, TObject* o) override;
    int IndexOf(const std::string& s) const override;
    int IndexOfName(const std::string& name) const override;  // a binary search when sorted
    bool Find(const std::string& s, int& index) const;  // binary search of a sorted list
    void Sort();
    bool Sorted() const { return FSorted; }
    void SetSorted(bool v);
    TDuplicates Duplicates() const { return FDuplicates; }
    void SetDuplicates(TDuplicates d) { FDuplicates = d; }
    bool CaseSensitive() const { return FCaseSensitive; }
    void SetCaseSensitive(bool v);
    // Fired around every change, unless inside BeginUpdate/EndUpdate.
    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

protected:
    void SetUpdateState(bool updating) override;
    virtual void Changed();
    virtual void Changing();
    int CompareStrings(const std::string& a, const std::string& b) const override;

private:
    void CheckIndex(int index, bool allowEnd = false) const;
    void InsertItem(int index, const std::string& s, TObject* o);
    struct Item {
        std::string s;
        TObject* o = nullptr;
    };
    std::vector<Item> FItems;
    bool FSorted = false;
    bool FCaseSensitive = false;
    TDuplicates FDuplicates = dupIgnore;
};

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
public:
    virtual int64_t Read(void* buf, int64_t count) = 0;
    virtual int64_t Write(const void* buf, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t p) { Seek(p, soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t n);
    // Raise EReadError/EWriteError ("Stream read error" / "Stream write error") when short.
    void ReadBuffer(void* buf, int64_t count);
    void WriteBuffer(const void* buf, int64_t count);
    // Copies count bytes from src (0 = the whole of src from its start); returns bytes copied.
    int64_t CopyFrom(TStream& src, int64_t count);

protected:
    // The position a seek asks for from a stream at position and size: beyond the 64-bit
    // range it stays at the range's end rather than wrapping around.
    static int64_t SeekTarget(int64_t position, int64_t size, int64_t offset, TSeekOrigin origin);
};

class TMemoryStream : public TStream {
public:
    int64_t Read(void* buf, int64_t count) override;
    int64_t Write(const void* buf, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t n) override;
    void Clear();
    const uint8_t* Memory() const { return FData.data(); }
    uint8_t* Memory() { return FData.data(); }
    void LoadFromStream(TStream& s);
    void SaveToStream(TStream& s);
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path);

private:
    std::vector<uint8_t> FData;
    int64_t FPos = 0;
};

// A stream over a string (bytes).
class TStringStream : public TMemoryStream {
public:
    explicit TStringStream(const std::string& s = "");
    std::string DataString() const;
};

enum TFileMode : uint16_t {
    fmCreate = 0xFFFF,
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmShareDenyNone = 0x0040,
};

class TFileStream : public TStream {
public:
    // EFOpenError "Cannot open file \"%s\"" / EFCreateError "Cannot create file \"%s\"".
    TFileStream(const std::string& path, uint16_t mode);
    ~TFileStream() override;
    int64_t Read(void* buf, int64_t count) override;
    int64_t Write(const void* buf, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t n) override;
    int Handle() const { return FHandle; }
    const std::string& FileName() const { return FFileName; }

private:
    std::string FFileName;
    int FHandle = -1;
};

// A stream over an existing file descriptor (standard input/output); does not own it.
class THandleStream : public TStream {
public:
    explicit THandleStream(int fd) : FHandle(fd) {}
    int64_t Read(void* buf, int64_t count) override;    // retries EINTR
    int64_t Write(const void* buf, int64_t count) override;  // writes all, retries EINTR
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int Handle() const { return FHandle; }

private:
    int FHandle;
};
