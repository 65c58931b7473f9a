#pragma once
// A small in-memory dataset for the tests of the dataset base: rows of native field
// values, bookmarks are row ids, BLOBs live in a side store. It filters through
// OnFilterRecord and searches through FindRecord the way a real cursor would.
#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "platform/framework/DataSet.h"

class TMemoryDataSet : public TDataSet {
public:
    struct Def {
        std::string name;
        TFieldType type;
        int size = 0;
        bool required = false;
    };
    explicit TMemoryDataSet(TComponent* owner, std::vector<Def> defs = {})
        : TDataSet(owner), FDefs(std::move(defs)) {}
    ~TMemoryDataSet() override {
        Destroying();
        SetActive(false);
    }

    std::vector<Def> FDefs;
    bool FReadOnly = false;
    int FHandledExceptions = 0;

    int RecordCount() override {
        CheckActive();
        return static_cast<int>(FRows.size());
    }
    int RecNo() override {
        TRecordBuffer b = ActiveBuffer();
        if (!b || IsEmpty()) return -1;
        return IndexOfId(Info(b).id) + 1;
    }
    bool BookmarkValid(const TBookmark& b) override {
        return b.size() == 4 && IndexOfId(ReadId(b.data())) >= 0;
    }
    int CompareBookmarks(const TBookmark& b1, const TBookmark& b2) override {
        if (b1.empty() || b2.empty()) return TDataSet::CompareBookmarks(b1, b2);
        int a = IndexOfId(ReadId(b1.data())), c = IndexOfId(ReadId(b2.data()));
        return a < c ? -1 : a > c ? 1 : 0;
    }

    bool GetFieldData(TField* Field, void* Buffer) override {
        TRecordBuffer rec = RecordBufferForState();
        if (!rec) return false;
        if (Field->Calculated()) {
            char* p = rec + FRecordSize + Field->Offset();
            if (!p[0]) return false;
            if (Buffer) std::memcpy(Buffer, p + 1, Field->DataSize());
            return true;
        }
        char* p = rec + FOffsets[Field->FieldNo() - 1];
        if (!p[0]) return false;
        if (Buffer) std::memcpy(Buffer, p + 1, CopyBytes(Field));
        return true;
    }

    void SetFieldData(TField* Field, const void* Buffer) override {
        TDataSetState s = State();
        if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsCalcFields && s != dsFilter &&
            s != dsNewValue)
            DatabaseError(SNotEditing, this);
        TRecordBuffer rec = RecordBufferForState();
        char* p =
            Field->Calculated() ? rec + FRecordSize + Field->Offset() : rec + FOffsets[Field->FieldNo() - 1];
        int n = CopyBytes(Field);
        p[0] = Buffer ? 1 : 0;
        if (Buffer)
            std::memcpy(p + 1, Buffer, n);
        else
            std::memset(p + 1, 0, n);
        if (s != dsCalcFields && s != dsFilter) DataEvent(deFieldChange, Field);
    }

    std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override;

protected:
    struct RecInfo {
        int32_t id;
        uint8_t flag;
    };
    int InfoOffset() const { return (FRecordSize + CalcFieldsSize() + 7) & ~7; }
    RecInfo& Info(TRecordBuffer b) { return *reinterpret_cast<RecInfo*>(b + InfoOffset()); }
    static int32_t ReadId(const void* p) {
        int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
    int IndexOfId(int32_t id) const {
        for (size_t i = 0; i < FRows.size(); ++i)
            if (FRowIds[i] == id) return static_cast<int>(i);
        return -1;
    }
    // Slot of a field in the record: its flag byte follows, then this many bytes.
    int SlotBytes(int i) const {
        switch (FDefs[i].type) {
            case ftString:
                return FDefs[i].size + 1;
            case ftBytes:
                return FDefs[i].size;
            case ftVarBytes:
                return FDefs[i].size + 2;
            default:
                return 8;
        }
    }
    static int CopyBytes(TField* f) { return f->IsBlob() ? 4 : f->DataSize(); }
    TRecordBuffer RecordBufferForState() {
        switch (State()) {
            case dsCalcFields:
                return CalcBuffer();
            case dsFilter:
                return FFilterBuffer;
            case dsBrowse:
                return IsEmpty() ? nullptr : ActiveBuffer();
            default:
                return ActiveBuffer();
        }
    }

    TRecordBuffer AllocRecordBuffer() override {
        if (BuffersLeft == 0) throw std::bad_alloc();
        if (BuffersLeft > 0) --BuffersLeft;
        return static_cast<TRecordBuffer>(calloc(1, InfoOffset() + sizeof(RecInfo)));
    }
    void FreeRecordBuffer(TRecordBuffer& Buffer) override {
        free(Buffer);
        Buffer = nullptr;
    }
    void GetBookmarkData(TRecordBuffer Buffer, void* Data) override {
        std::memcpy(Data, &Info(Buffer).id, 4);
    }
    void SetBookmarkData(TRecordBuffer Buffer, const void* Data) override { Info(Buffer).id = ReadId(Data); }
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer Buffer) override { return TBookmarkFlag(Info(Buffer).flag); }
    void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override { Info(Buffer).flag = Value; }

    bool Accept(TRecordBuffer Buffer, bool force) {
        if (!((Filtered() || force) && OnFilterRecord())) return true;
        bool ok = true;
        TDataSetState old = SetTempState(dsFilter);
        FFilterBuffer = Buffer;
        try {
            OnFilterRecord()(this, ok);
        } catch (...) {
            RestoreState(old);
            throw;
        }
        RestoreState(old);
        return ok;
    }
    void Fill(TRecordBuffer Buffer) {
        std::memcpy(Buffer, FRows[FPos].data(), FRecordSize);
        Info(Buffer) = RecInfo{FRowIds[FPos], bfCurrent};
    }
    TGetResult Step(TRecordBuffer Buffer, TGetMode mode, bool force) {
        for (;;) {
            if (mode == gmNext) {
                if (FPos < static_cast<int>(FRows.size())) ++FPos;
                if (FPos >= static_cast<int>(FRows.size())) return grEOF;
            } else if (mode == gmPrior) {
                if (FPos >= 0) --FPos;
                if (FPos < 0) return grBOF;
            } else if (FPos < 0 || FPos >= static_cast<int>(FRows.size())) {
                return grError;
            }
            Fill(Buffer);
            if (Accept(Buffer, force)) return grOK;
            if (mode == gmCurrent) return grError;
        }
    }
    TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) override {
        TGetResult r = Step(Buffer, GetMode, false);
        if (r == grError && DoCheck && GetMode != gmCurrent) DatabaseError("No current record", this);
        if (r == grOK) GetCalcFields(Buffer);
        return r;
    }
    bool FindRecord(bool Restart, bool GoForward) override {
        CheckBrowseMode();
        DoBeforeScroll();
        if (Restart) {
            if (GoForward)
                InternalFirst();
            else
                InternalLast();
        } else {
            UpdateCursorPos();
        }
        TGetResult r = Step(Buffers(BufferedRecordCount()), GoForward ? gmNext : gmPrior, true);
        if (r != grOK) {
            Resync(0);
            return false;
        }
        Resync(rmExact | rmCenter);
        DoAfterScroll();
        return true;
    }

    void InternalOpen() override {
        InternalInitFieldDefs();
        if (DefaultFields()) CreateFields();
        BindFields(true);
        FOffsets.clear();
        FRecordSize = 0;
        for (size_t i = 0; i < FDefs.size(); ++i) {
            FOffsets.push_back(FRecordSize);
            FRecordSize += 1 + SlotBytes(static_cast<int>(i));
        }
        for (auto& r : FRows) r.resize(FRecordSize);
        SetBookmarkSize(4);
        FPos = -1;
        FOpen = true;
    }
    void InternalClose() override {
        BindFields(false);
        if (DefaultFields()) DestroyFields();
        FOpen = false;
    }
    bool IsCursorOpen() override { return FOpen; }
    void InternalFirst() override { FPos = -1; }
    void InternalLast() override { FPos = static_cast<int>(FRows.size()); }
    void InternalGotoBookmark(const void* Bookmark) override {
        int i = IndexOfId(ReadId(Bookmark));
        if (i < 0) DatabaseError(SRecordNotFound, this);
        FPos = i;
    }
    void InternalSetToRecord(TRecordBuffer Buffer) override { InternalGotoBookmark(&Info(Buffer).id); }
    void InternalInitFieldDefs() override {
        FieldDefs()->Clear();
        for (const Def& d : FDefs) FieldDefs()->Add(d.name, d.type, d.size, d.required);
    }
    void InternalInitRecord(TRecordBuffer Buffer) override { std::memset(Buffer, 0, FRecordSize); }
    void InternalDelete() override {
        FRows.erase(FRows.begin() + FPos);
        FRowIds.erase(FRowIds.begin() + FPos);
    }
    void InternalPost() override {
        TDataSet::InternalPost();
        TRecordBuffer b = ActiveBuffer();
        std::vector<char> row(b, b + FRecordSize);
        if (State() == dsEdit) {
            FRows[FPos] = row;
            return;
        }
        int at = GetBookmarkFlag(b) == bfEOF ? static_cast<int>(FRows.size()) : std::max(FPos, 0);
        at = std::min(at, static_cast<int>(FRows.size()));
        FRows.insert(FRows.begin() + at, row);
        FRowIds.insert(FRowIds.begin() + at, ++FLastId);
        FPos = at;
    }
    void InternalHandleException() override { ++FHandledExceptions; }
    bool GetCanModify() override { return !FReadOnly; }
    void ClearCalcFields(TRecordBuffer Buffer) override {
        std::memset(Buffer + FRecordSize, 0, CalcFieldsSize());
    }

public:
    // Record buffers that may still be had before the heap refuses one; -1: no limit.
    int BuffersLeft = -1;
    std::vector<std::vector<char>> FRows;
    std::vector<int32_t> FRowIds;
    std::vector<std::string> FBlobs{""};
    int32_t FLastId = 0;
    int FPos = -1;
    int FRecordSize = 0;
    std::vector<int> FOffsets;
    bool FOpen = false;

    friend class TMemoryBlobStream;
    void BlobWritten(TField* f, int32_t id) {
        int32_t v = id;
        SetFieldData(f, &v);
        f->SetModified(true);
    }
    void CloseBlob(TField*) override { ++FClosedBlobs; }
    int FClosedBlobs = 0;
};

// Reads a copy of the BLOB; a written stream stores its bytes as a new BLOB on destruction.
class TMemoryBlobStream : public TMemoryStream {
public:
    TMemoryBlobStream(TMemoryDataSet* ds, TField* f, TBlobStreamMode mode)
        : FDataSet(ds), FField(f), FMode(mode) {
        int32_t id = 0;
        if (mode != bmWrite && f->GetData(&id) && id > 0 && id < static_cast<int32_t>(ds->FBlobs.size())) {
            const std::string& s = ds->FBlobs[id];
            if (!s.empty()) WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
            SetPosition(0);
        }
    }
    ~TMemoryBlobStream() override {
        if (FMode == bmRead) return;
        FDataSet->FBlobs.emplace_back(reinterpret_cast<const char*>(Memory()), static_cast<size_t>(Size()));
        FDataSet->BlobWritten(FField, static_cast<int32_t>(FDataSet->FBlobs.size() - 1));
    }

private:
    TMemoryDataSet* FDataSet;
    TField* FField;
    TBlobStreamMode FMode;
};

inline std::unique_ptr<TStream> TMemoryDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
    return std::make_unique<TMemoryBlobStream>(this, Field, Mode);
}
