#pragma once
// Helpers of the index file tests (the table, cursor and field stand-ins are shared with
// the other engine file tests): integer keys, one-field descriptors, a fixture with the
// library started, and a walker that checks a tree's invariants.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "db/engine/EngineErrors.h"
#include "db/engine/IndexFile.h"
#include "db/storage/Library.h"
#include "tests/support/EngineErrorCode.h"
#include "tests/support/EngineFakes.h"

namespace indextest {

using TFakeTable = TFakeTableOwner;

// Keys of an integer field: its key image, then zeros up to the key length.
inline std::string IntKey(int32_t v, int32_t keyLength) {
    std::string key(size_t(keyLength), '\0');
    EncodeIntegerKey(v, reinterpret_cast<uint8_t*>(key.data()));
    return key;
}
inline const uint8_t* Bytes(const std::string& s) {
    return reinterpret_cast<const uint8_t*>(s.data());
}

// A one-field index whose keys are keyLength bytes long.
inline TIndexDescriptor OneFieldIndex(const std::string& name, int32_t keyLength, bool unique,
                                      uint8_t compression, bool descending = false) {
    TIndexDescriptor d;
    d.Name = name;
    d.Unique = unique ? 1 : 0;
    d.Compression = compression;
    d.Descending = descending ? 1 : 0;
    d.FieldCount = 1;
    d.FieldNumbers[0] = uint16_t(keyLength - 1 - (unique ? 0 : 4));
    return d;
}

class IndexFixture : public ::testing::Test {
protected:
    void SetUp() override { InitializeLibrary(); }
    void TearDown() override {
        FFiles.clear();
        FinalizeLibrary();
    }

    // A new index file in memory, its header not yet written.
    TIndexFile& NewFile(const std::string& name = "MEMORY\\PARTS.IDX") {
        FFiles.push_back(std::make_unique<TIndexFile>(&Table));
        TIndexFile& f = *FFiles.back();
        f.SetFileName(name);
        f.SetInMemory(true);
        f.CreateFile();
        return f;
    }
    TIndexFile& OpenFile(const std::string& name = "MEMORY\\PARTS.IDX", bool encrypted = false) {
        FFiles.push_back(std::make_unique<TIndexFile>(&Table));
        TIndexFile& f = *FFiles.back();
        f.SetFileName(name);
        f.SetInMemory(true);
        f.SetEncrypted(encrypted);
        f.Open();
        return f;
    }
    // Raw bytes through an open handler.
    static std::string RawBytes(TFileHandler& h, int32_t at, int32_t count) {
        std::string s(size_t(count), '\0');
        h.Lock();
        h.Seek(at, 0);
        s.resize(size_t(h.Read(s.data(), count, true)));
        h.Unlock();
        return s;
    }
    static void PutRawBytes(TFileHandler& h, int32_t at, const std::string& data) {
        h.Lock();
        h.Seek(at, 0);
        h.Write(data.data(), int32_t(data.size()));
        h.Unlock();
    }
    // Raw bytes of a closed file through a plain handler.
    std::string RawBytes(const std::string& name, int32_t at, int32_t count) {
        TFileHandler h;
        h.SetFileName(name);
        h.SetInMemory(true);
        h.Open();
        std::string s(size_t(count), '\0');
        h.Seek(at, 0);
        s.resize(size_t(h.Read(s.data(), count, true)));
        h.Close();
        return s;
    }
    void PutRawBytes(const std::string& name, int32_t at, const std::string& data) {
        TFileHandler h;
        h.SetFileName(name);
        h.SetInMemory(true);
        h.Open();
        h.Seek(at, 0);
        h.Write(data.data(), int32_t(data.size()));
        h.Close();
    }

    TFakeTable Table;
    TFakeCursor Cursor;
    std::vector<std::unique_ptr<TIndexFile>> FFiles;
};

// What a walk of one index found.
struct TTreeShape {
    std::vector<std::string> Keys;  // leaf order
    std::vector<uint32_t> Records;
    int32_t Depth = 0;  // levels; 0 for an empty index
    int32_t Pages = 0;
    std::vector<std::vector<uint32_t>> Levels;  // page positions per level, root first
};

// Checks an index's invariants: page types, keys in order, interior keys and counts equal
// to their subtrees, fill of interior pages and plain leaves, compressed leaves within
// the page, all leaves on one level, neighbour links per level. Returns the first broken
// one, or "".
inline std::string CheckTree(TIndexFile& f, TCacheClient& c, int32_t indexNo, TTreeShape& shape) {
    shape = TTreeShape();
    const uint32_t root = f.GetRootPageNo(indexNo);
    if (root == 0) return "";
    std::string error;
    auto fail = [&](const std::string& what, uint32_t pos) {
        if (error.empty()) error = what + " at page " + std::to_string(pos);
    };
    struct TVisit {
        std::string First;
        uint32_t Count = 0;
    };
    std::function<TVisit(uint32_t, int32_t)> visit = [&](uint32_t pos, int32_t level) -> TVisit {
        TVisit out;
        TPage* p = nullptr;
        if (!f.GetPage(&c, indexNo, pos, p)) {
            fail("caches dropped", pos);
            return out;
        }
        // Copy what is needed: the page may be evicted while the children are visited.
        const bool leaf = p->IsLeaf();
        const bool isRoot = level == 0;
        const int32_t n = p->Count();
        const int32_t k = p->KeyLength();
        std::vector<std::string> keys;
        std::vector<uint32_t> values, counts;
        for (int32_t i = 1; i <= n; ++i) {
            keys.emplace_back(reinterpret_cast<const char*>(p->EntryKey(i)), size_t(k));
            values.push_back(p->EntryValue(i));
            counts.push_back(p->EntryCount(i));
        }
        const uint8_t type = p->PageType();
        const int32_t cap = p->GetMaxKeys();
        const bool compressed = p->IsCompressedLeaf();
        const int32_t used = p->BytesUsed();
        const bool freePage = p->Free();
        f.ReleasePage(p);
        if (int32_t(shape.Levels.size()) <= level) shape.Levels.resize(size_t(level) + 1);
        shape.Levels[size_t(level)].push_back(pos);
        ++shape.Pages;
        if (freePage) fail("free page in tree", pos);
        if (isRoot != (type == ptRootInterior || type == ptRootLeaf)) fail("root type", pos);
        if (n == 0) fail("empty page", pos);
        for (int32_t i = 1; i < n; ++i)
            if (c.CompareKeys(reinterpret_cast<const uint8_t*>(keys[size_t(i - 1)].data()),
                              reinterpret_cast<const uint8_t*>(keys[size_t(i)].data()), k) >= 0)
                fail("keys out of order", pos);
        if (compressed) {
            if (used > IndexPageDataSize) fail("compressed leaf overfull", pos);
        } else if (n > cap) {
            fail("page overfull", pos);
        } else if (!isRoot && n < cap / 2) {
            fail("page below half", pos);
        }
        if (isRoot && !leaf && n < 2) fail("root with one child", pos);
        if (n > 0) out.First = keys[0];
        if (leaf) {
            if (shape.Depth == 0) shape.Depth = level + 1;
            if (shape.Depth != level + 1) fail("leaves on different levels", pos);
            for (int32_t i = 0; i < n; ++i) {
                shape.Keys.push_back(keys[size_t(i)]);
                shape.Records.push_back(values[size_t(i)]);
            }
            out.Count = uint32_t(n);
            return out;
        }
        for (int32_t i = 0; i < n && error.empty(); ++i) {
            const TVisit child = visit(values[size_t(i)], level + 1);
            if (child.First != keys[size_t(i)]) fail("interior key differs from child's first key", pos);
            if (child.Count != counts[size_t(i)]) fail("interior count differs from child's keys", pos);
            out.Count += child.Count;
        }
        return out;
    };
    visit(root, 0);
    // Neighbour links on every level follow the order of the level.
    for (const auto& level : shape.Levels) {
        for (size_t i = 0; i < level.size() && error.empty(); ++i) {
            TPage* p = nullptr;
            if (!f.GetPage(&c, indexNo, level[i], p)) return "caches dropped";
            const uint32_t prev = p->Prev(), next = p->Next();
            f.ReleasePage(p);
            if (prev != (i == 0 ? 0 : level[i - 1])) fail("previous link", level[i]);
            if (next != (i + 1 == level.size() ? 0 : level[i + 1])) fail("next link", level[i]);
        }
    }
    return error;
}

// Pages on the index's free chain (each checked to be free and met once), or -1.
inline int32_t FreeChainLength(TIndexFile& f, TCacheClient& c, int32_t indexNo) {
    std::set<uint32_t> seen;
    for (uint32_t pos = f.GetFreeHead(indexNo); pos != 0;) {
        if (!seen.insert(pos).second) return -1;
        TPage* p = nullptr;
        if (!f.GetPage(&c, indexNo, pos, p, true)) return -1;
        const bool isFree = p->Free();
        pos = p->Next();
        f.ReleasePage(p);
        if (!isFree) return -1;
    }
    return int32_t(seen.size());
}

inline int32_t FilePages(const TIndexFile& f) {
    return int32_t((f.GetNextNewPage() - IndexHeaderSize) / IndexPageSize);
}

}  // namespace indextest
