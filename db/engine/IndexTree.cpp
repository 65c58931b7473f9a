// The counted B+-tree on the index file's pages: insertion with splits, removal with
// merging or borrowing, and the descents from the root that keep the subtree counts.
// Every page fetch may report that the caches were dropped: the operation then returns
// false at once and the caller restarts it.
#include <cstring>
#include <vector>

#include "db/engine/EngineErrors.h"
#include "db/engine/IndexFile.h"

namespace {

// No tree of a 2 GB file is this deep: a descent that goes further runs in a cycle.
constexpr int32_t MaxTreeDepth = 32;

}  // namespace

void TIndexFile::MoveEntries(TPage* from, int32_t first, int32_t n, TPage* to, int32_t at) {
    MarkTreesChanged();
    if (n <= 0) return;
    const size_t stride = size_t(from->Stride());
    to->EnsureEntries(to->FCount + n);
    if (at <= to->FCount)
        std::memmove(to->EntryKey(at + n), to->EntryKey(at), size_t(to->FCount - at + 1) * stride);
    std::memcpy(to->EntryKey(at), from->EntryKey(first), size_t(n) * stride);
    to->FCount += n;
    if (first + n <= from->FCount)
        std::memmove(from->EntryKey(first), from->EntryKey(first + n),
                     size_t(from->FCount - first - n + 1) * stride);
    from->FCount -= n;
    from->FPos1 = std::min(from->FPos1, from->FCount);
    from->FPos2 = std::min(from->FPos2, from->FCount);
    if (from->IsCompressedLeaf()) from->PackKeys();
    if (to->IsCompressedLeaf()) to->PackKeys();
    from->FModified = to->FModified = true;
}

bool TIndexFile::GetParent(TCacheClient* client, TPage* page, TPageRef& parent, int32_t& entry) {
    if (!page->FParent) Fail(ZIZIVU_PAGEBUFCORRUPT);
    if (!parent.Get(client, page->FIndexNo, page->FParent)) return false;
    entry = parent->FindChild(page->FPagePos);
    if (entry == 0 || parent->IsLeaf()) Fail(ZIZIVU_PAGEBUFCORRUPT);
    return true;
}

bool TIndexFile::UpdateParentKey(TPage* page, TCacheClient* client) {
    MarkTreesChanged();
    TPageRef held(*this);
    TPage* child = page;
    while (child->FParent && child->FCount > 0) {
        TPageRef parent(*this);
        int32_t i;
        if (!GetParent(client, child, parent, i)) return false;
        parent->SetEntryKey(i, child->EntryKey(1));
        parent->FModified = true;
        if (i != 1) break;
        held = std::move(parent);
        child = held.get();
    }
    return true;
}

bool TIndexFile::InsertKey(TPage* page, TCacheClient* client, const uint8_t* key, uint32_t count,
                           uint32_t value) {
    MarkTreesChanged();
    page->InsertEntry(key);
    const int32_t at = page->FPos1;
    page->SetEntryValue(at, value);
    if (!page->IsLeaf()) page->SetEntryCount(at, count);
    page->FModified = true;
    if (at == 1 && page->FParent && !UpdateParentKey(page, client)) return false;
    if (!page->Overfull()) return true;
    return SplitPage(page, client);
}

bool TIndexFile::SplitPage(TPage* page, TCacheClient* client) {
    MarkTreesChanged();
    const int32_t indexNo = page->FIndexNo;
    // Only a key length no descriptor may have leaves a page overfull with one entry.
    if (page->FCount < 2) Fail(ZIZIVU_PAGEBUFCORRUPT);
    TPageRef fresh(*this);
    if (!fresh.Allocate(client, indexNo)) return false;
    TPage* np = fresh.get();
    const bool leaf = page->IsLeaf();
    const bool wasRoot = page->IsRoot();
    page->FPageType = np->FPageType = leaf ? ptLeaf : ptInterior;
    const int32_t n = page->FCount;
    MoveEntries(page, n - n / 2 + 1, n / 2, np, 1);
    if (page->IsCompressedLeaf()) {
        // Halves of equal count may still differ in bytes: level them by bytes.
        while (page->FBytesUsed > IndexPageDataSize && page->FCount > 1)
            MoveEntries(page, page->FCount, 1, np, 1);
        while (np->FBytesUsed > IndexPageDataSize && np->FCount > 1)
            MoveEntries(np, 1, 1, page, page->FCount + 1);
        if (page->FBytesUsed > IndexPageDataSize || np->FBytesUsed > IndexPageDataSize)
            Fail(ZIZIVU_PAGEBUFCORRUPT);
    }
    np->FPrev = page->FPagePos;
    np->FNext = page->FNext;
    if (page->FNext) {
        TPageRef after(*this);
        if (!after.Get(client, indexNo, page->FNext)) return false;
        after->FPrev = np->FPagePos;
        after->FModified = true;
    }
    page->FNext = np->FPagePos;
    np->FParent = page->FParent;
    page->FModified = np->FModified = true;
    if (wasRoot) {
        TPageRef top(*this);
        if (!top.Allocate(client, indexNo)) return false;
        TPage* root = top.get();
        root->FPageType = ptRootInterior;
        root->FPos1 = 0;
        root->InsertEntry(page->EntryKey(1));
        root->SetEntryValue(1, page->FPagePos);
        root->SetEntryCount(1, page->GetTotalCount());
        root->InsertEntry(np->EntryKey(1));
        root->SetEntryValue(2, np->FPagePos);
        root->SetEntryCount(2, np->GetTotalCount());
        root->FParent = 0;
        page->FParent = np->FParent = root->FPagePos;
        SetRootPageNo(indexNo, root->FPagePos);
        return true;
    }
    TPageRef parent(*this);
    int32_t i;
    if (!GetParent(client, page, parent, i)) return false;
    parent->SetEntryCount(i, page->GetTotalCount());
    parent->FPos1 = i;
    parent->FModified = true;
    return InsertKey(parent.get(), client, np->EntryKey(1), np->GetTotalCount(), np->FPagePos);
}

bool TIndexFile::DeleteKey(TPage* page, TCacheClient* client) {
    MarkTreesChanged();
    if (page->FPos1 < 1 || page->FPos1 > page->FCount) Fail(ZIZIVU_PAGEBUFCORRUPT);
    const bool wasFirst = page->FPos1 == 1;
    page->DeleteEntry();
    page->FModified = true;
    if (page->FCount > 0 && wasFirst && page->FParent && !UpdateParentKey(page, client)) return false;
    const int32_t indexNo = page->FIndexNo;
    if (page->IsCompressedLeaf()) return page->FCount > 0 || RemoveEmptyLeaf(page, client);
    if (page->IsRoot()) {
        if (page->FCount == 0) {
            FreePage(client, page);
            SetRootPageNo(indexNo, 0);
        } else if (!page->IsLeaf() && page->FCount == 1) {
            // The only child becomes the root.
            TPageRef child(*this);
            if (!child.Get(client, indexNo, page->EntryValue(1))) return false;
            if (child.get() == page) Fail(ZIZIVU_PAGEBUFCORRUPT);
            child->FPageType = child->IsLeaf() ? ptRootLeaf : ptRootInterior;
            child->FParent = 0;
            child->FPrev = child->FNext = 0;
            child->FModified = true;
            SetRootPageNo(indexNo, child->FPagePos);
            FreePage(client, page);
        }
        return true;
    }
    if (page->FCount >= page->GetMaxKeys() / 2) return true;
    return Rebalance(page, client);
}

bool TIndexFile::Unlink(TPage* page, TCacheClient* client) {
    MarkTreesChanged();
    if (page->FPrev) {
        TPageRef before(*this);
        if (!before.Get(client, page->FIndexNo, page->FPrev)) return false;
        before->FNext = page->FNext;
        before->FModified = true;
    }
    if (page->FNext) {
        TPageRef after(*this);
        if (!after.Get(client, page->FIndexNo, page->FNext)) return false;
        after->FPrev = page->FPrev;
        after->FModified = true;
    }
    page->FPrev = page->FNext = 0;
    return true;
}

bool TIndexFile::RemoveEmptyLeaf(TPage* page, TCacheClient* client) {
    MarkTreesChanged();
    const int32_t indexNo = page->FIndexNo;
    if (page->IsRoot()) {
        FreePage(client, page);
        SetRootPageNo(indexNo, 0);
        return true;
    }
    TPageRef parent(*this);
    int32_t i;
    if (!GetParent(client, page, parent, i)) return false;
    if (!Unlink(page, client)) return false;
    FreePage(client, page);
    parent->FPos1 = i;
    return DeleteKey(parent.get(), client);
}

bool TIndexFile::Rebalance(TPage* page, TCacheClient* client) {
    MarkTreesChanged();
    const int32_t indexNo = page->FIndexNo;
    TPageRef parentRef(*this);
    int32_t i;
    if (!GetParent(client, page, parentRef, i)) return false;
    TPage* parent = parentRef.get();
    // The left neighbour unless the page is the parent's first child.
    const bool useLeft = i > 1;
    if (!useLeft && i >= parent->FCount) Fail(ZIZIVU_PAGEBUFCORRUPT);
    const int32_t j = useLeft ? i - 1 : i + 1;
    TPageRef nbRef(*this);
    if (!nbRef.Get(client, indexNo, parent->EntryValue(j))) return false;
    TPage* nb = nbRef.get();
    if (nb == page || nb == parent || nb->IsLeaf() != page->IsLeaf() || nb->IsRoot() || nb->FFree)
        Fail(ZIZIVU_PAGEBUFCORRUPT);
    nb->FParent = parent->FPagePos;
    if (page->FCount + nb->FCount < page->GetMaxKeys()) {
        // Merge into the neighbour; the page leaves the level and the parent.
        MoveEntries(page, 1, page->FCount, nb, useLeft ? nb->FCount + 1 : 1);
        if (nb->FCount == 0) Fail(ZIZIVU_PAGEBUFCORRUPT);
        if (!Unlink(page, client)) return false;
        FreePage(client, page);
        parent->SetEntryCount(j, nb->GetTotalCount());
        if (!useLeft) parent->SetEntryKey(j, nb->EntryKey(1));
        parent->FModified = true;
        parent->FPos1 = i;
        return DeleteKey(parent, client);
    }
    // Borrow: the left page of the pair keeps the larger half.
    TPage* left = useLeft ? nb : page;
    TPage* right = useLeft ? page : nb;
    const int32_t total = left->FCount + right->FCount;
    const int32_t keepLeft = (total + 1) / 2;
    if (left->FCount > keepLeft)
        MoveEntries(left, keepLeft + 1, left->FCount - keepLeft, right, 1);
    else if (left->FCount < keepLeft)
        MoveEntries(right, 1, keepLeft - left->FCount, left, left->FCount + 1);
    if (right->FCount == 0) Fail(ZIZIVU_PAGEBUFCORRUPT);
    const int32_t li = useLeft ? i - 1 : i;
    parent->SetEntryCount(li, left->GetTotalCount());
    parent->SetEntryCount(li + 1, right->GetTotalCount());
    parent->SetEntryKey(li + 1, right->EntryKey(1));
    parent->FModified = true;
    return true;
}

// ---- Descents from the root -------------------------------------------------------------

namespace {

// Fetches the child at the page's chosen entry, remembering the page as its parent; a
// child that is a root or a free page, or a descent that goes on too long, is a damaged
// tree.
bool Descend(TIndexFile& file, TCacheClient* client, int32_t indexNo, TPageRef& cur, int32_t entry,
             int32_t& depth) {
    if (++depth > MaxTreeDepth) file.Fail(ZIZIVU_PAGEBUFCORRUPT);
    TPageRef child(file);
    if (!child.Get(client, indexNo, cur->EntryValue(entry))) return false;
    if (child->IsRoot() || child->Free()) file.Fail(ZIZIVU_PAGEBUFCORRUPT);
    child->SetParent(cur->PagePos());
    cur = std::move(child);
    return true;
}

}  // namespace

bool TIndexFile::DescendHeld(TCacheClient* client, int32_t indexNo, TPageRef& cur,
                             std::vector<TPageRef>& path, int32_t& depth) {
    // The pages of the path stay pinned: their parent links serve the splits and merges.
    const uint32_t child = cur->EntryValue(cur->FPos1);
    const uint32_t parentPos = cur->FPagePos;
    path.push_back(std::move(cur));
    cur = TPageRef(*this);
    if (++depth > MaxTreeDepth) Fail(ZIZIVU_PAGEBUFCORRUPT);
    if (!cur.Get(client, indexNo, child)) return false;
    if (cur->IsRoot() || cur->FFree) Fail(ZIZIVU_PAGEBUFCORRUPT);
    cur->FParent = parentPos;
    return true;
}

bool TIndexFile::InsertIndexKey(TCacheClient* client, int32_t indexNo, const uint8_t* key,
                                uint32_t recordNo) {
    TPageRef cur(*this);
    std::vector<TPageRef> path;
    bool atEnd;
    return InsertIndexKeyHeld(client, indexNo, key, recordNo, cur, path, atEnd);
}

bool TIndexFile::InsertIndexKeyHeld(TCacheClient* client, int32_t indexNo, const uint8_t* key,
                                    uint32_t recordNo, TPageRef& cur, std::vector<TPageRef>& path,
                                    bool& atEnd) {
    atEnd = false;
    MarkTreesChanged();
    if (!cur.Root(client, indexNo, TPagePos::First)) return false;
    if (!cur) {
        if (!cur.Allocate(client, indexNo)) return false;
        cur->FPageType = ptRootLeaf;
        cur->FPos1 = 0;
        if (!InsertKey(cur.get(), client, key, 1, recordNo)) return false;
        SetRootPageNo(indexNo, cur->FPagePos);
        return true;
    }
    int32_t depth = 0;
    const TProbePath* probe = ProbeOf(indexNo, key, cur->FKeyLength);
    while (!cur->IsLeaf()) {
        FindInsertPosAfterProbe(cur.get(), client, key, probe, path.size());
        // A key below every entry goes down the first child.
        if (cur->FPos1 < 1) cur->FPos1 = 1;
        if (!DescendHeld(client, indexNo, cur, path, depth)) return false;
    }
    FindInsertPosAfterProbe(cur.get(), client, key, probe, path.size());
    CountKeyOnPath(path);
    const int32_t before = cur->FCount;
    if (!InsertKey(cur.get(), client, key, 1, recordNo)) return false;
    // A split leaves the leaf with fewer entries than it had plus one.
    atEnd = cur->FCount == before + 1 && cur->FPos1 == cur->FCount;
    for (const auto& p : path) atEnd = atEnd && p->FPos1 == p->FCount;
    return true;
}

// The counts of the entries descended through take the new key.
void TIndexFile::CountKeyOnPath(std::vector<TPageRef>& path) {
    for (auto& p : path) {
        p->SetEntryCount(p->FPos1, p->EntryCount(p->FPos1) + 1);
        p->FModified = true;
    }
}

bool TIndexFile::AppendIndexKeys(TCacheClient* client, int32_t indexNo, const uint8_t* keys,
                                 int32_t keyLength, const uint32_t* recordNos, int32_t count) {
    CheckIndexNo(indexNo);
    TPageCache& cache = FCaches[indexNo];
    int32_t i = 0;
    while (i < count) {
        TPageRef cur(*this);
        std::vector<TPageRef> path;
        bool atEnd;
        if (!InsertIndexKeyHeld(client, indexNo, keys + size_t(i) * size_t(keyLength), recordNos[i], cur,
                                path, atEnd))
            return false;
        ++i;
        // While the keys go on above the last entry of every page of the rightmost path, a
        // descent would find the same cached pages and positions: they are touched, counted
        // and their counts raised as it would, and the key is put in after the leaf's last.
        while (atEnd && i < count) {
            const uint8_t* key = keys + size_t(i) * size_t(keyLength);
            bool above = cur->KeyAboveLast(client, key);
            for (size_t l = 0; above && l < path.size(); ++l) above = path[l]->KeyAboveLast(client, key);
            if (!above) break;
            MarkTreesChanged();
            for (auto& p : path) CountHit(cache, p.get());
            CountHit(cache, cur.get());
            CountKeyOnPath(path);
            const int32_t before = cur->FCount;
            cur->FPos1 = before;
            if (!InsertKey(cur.get(), client, key, 1, recordNos[i])) return false;
            ++i;
            atEnd = cur->FCount == before + 1 && cur->FPos1 == cur->FCount;
        }
    }
    return true;
}

bool TIndexFile::DeleteIndexKey(TCacheClient* client, int32_t indexNo, const uint8_t* key) {
    MarkTreesChanged();
    TPageRef cur(*this);
    if (!cur.Root(client, indexNo, TPagePos::First)) return false;
    if (!cur) Fail(ZIZIVU_PAGEBUFCORRUPT);
    std::vector<TPageRef> path;
    int32_t depth = 0;
    while (!cur->IsLeaf()) {
        cur->FindDeletePos(client, key);
        if (!DescendHeld(client, indexNo, cur, path, depth)) return false;
    }
    // A missing key or a count that cannot lose it is a damaged index: nothing changes.
    if (!cur->FindKeyPos(client, key)) Fail(ZIZIVU_PAGEBUFCORRUPT);
    for (auto& p : path)
        if (p->EntryCount(p->FPos1) == 0) Fail(ZIZIVU_PAGEBUFCORRUPT);
    for (auto& p : path) {
        p->SetEntryCount(p->FPos1, p->EntryCount(p->FPos1) - 1);
        p->FModified = true;
    }
    return DeleteKey(cur.get(), client);
}

bool TIndexFile::MoveKeyWithinLeaf(TCacheClient* client, int32_t indexNo, const uint8_t* oldKey,
                                   const uint8_t* newKey, uint32_t recordNo) {
    CheckIndexNo(indexNo);
    if (size_t(indexNo) >= FProbes.size()) return false;
    TProbePath& probe = FProbes[size_t(indexNo)];
    if (probe.Depth == 0) return false;
    TPage* leaf = FindCached(FCaches[indexNo], probe.Pages[probe.Depth - 1]);
    if (!leaf || !leaf->IsLeaf() || leaf->FFree || leaf->IsCompressedLeaf()) return false;
    const int32_t length = leaf->FKeyLength, n = leaf->FCount;
    if (probe.Key.size() != size_t(length) || std::memcmp(probe.Key.data(), newKey, size_t(length)) != 0)
        return false;
    // Entries c and c + 1 bracket the new key: it lies inside the leaf's range, so a descent
    // for it ends here whatever the pages above say.
    const int32_t c = probe.NotAbove[probe.Depth - 1];
    if (c < 1 || c >= n || client->CompareKeys(leaf->EntryKey(c), newKey, length) >= 0 ||
        client->CompareKeys(leaf->EntryKey(c + 1), newKey, length) <= 0)
        return false;
    // The old key in the leaf (its range first: a key far off costs two comparisons), and
    // no balancing after its removal. When the old entry is the first, the parent's key
    // becomes the second, which must stay below the new key so that the insertion's
    // descent would still come here.
    if (client->CompareKeys(leaf->EntryKey(1), oldKey, length) > 0 ||
        client->CompareKeys(leaf->EntryKey(n), oldKey, length) < 0)
        return false;
    bool found;
    const int32_t at = leaf->LastNotAbove(client, oldKey, found);
    if (!found || (at == 1 && c < 2) || (!leaf->IsRoot() && n - 1 < leaf->GetMaxKeys() / 2)) return false;
    MarkTreesChanged();
    probe.Depth = 0;
    leaf->FPos1 = at;
    leaf->DeleteEntry();
    leaf->FModified = true;
    // As the removal would; a parent that can no longer be fetched leaves the change half
    // done, which the removal reports as a damaged index too.
    if (at == 1 && leaf->FParent && !UpdateParentKey(leaf, client)) Fail(ZIZIVU_PAGEBUFCORRUPT);
    // The new key's place once the old entry is gone.
    leaf->FPos1 = at <= c ? c - 1 : c;
    leaf->InsertEntry(newKey);
    leaf->SetEntryValue(leaf->FPos1, recordNo);
    return true;
}

bool TIndexFile::FindKeyOrdinal(TCacheClient* client, int32_t indexNo, const uint8_t* key, int32_t& ordinal,
                                bool& found) {
    return SearchKey(client, indexNo, key, &ordinal, found);
}

bool TIndexFile::ContainsKey(TCacheClient* client, int32_t indexNo, const uint8_t* key, bool& found) {
    return SearchKey(client, indexNo, key, nullptr, found);
}

bool TIndexFile::FindKeyRecord(TCacheClient* client, int32_t indexNo, const uint8_t* key, bool& found,
                               uint32_t& recordNo) {
    recordNo = 0;
    return SearchKey(client, indexNo, key, nullptr, found, &recordNo);
}

const TIndexFile::TProbePath* TIndexFile::ProbeOf(int32_t indexNo, const uint8_t* key, int32_t keyLength) const {
    if (size_t(indexNo) >= FProbes.size()) return nullptr;
    const TProbePath& p = FProbes[size_t(indexNo)];
    if (p.Depth == 0 || p.Key.size() != size_t(keyLength) || std::memcmp(p.Key.data(), key, p.Key.size()) != 0)
        return nullptr;
    return &p;
}

void TIndexFile::FindInsertPosAfterProbe(TPage* page, TCacheClient* client, const uint8_t* key,
                                         const TProbePath* probe, size_t level) {
    if (probe && level < size_t(probe->Depth) && probe->Pages[level] == page->FPagePos) {
        // The last entry not above the key is c when entry c lies below it and entry c + 1
        // above it (the bisection's answer on the sorted page).
        const int32_t c = probe->NotAbove[level], n = page->FCount;
        const int32_t length = page->FKeyLength;
        if (n >= 1 && c >= 0 && c <= n && (c == 0 || client->CompareKeys(page->EntryKey(c), key, length) < 0) &&
            (c == n || client->CompareKeys(page->EntryKey(c + 1), key, length) > 0)) {
            page->FPos1 = c;
            return;
        }
    }
    page->FindInsertPos(client, key);
}

// One descent to the key's leaf; the page counts passed are summed only when the ordinal is
// asked for.
bool TIndexFile::SearchKey(TCacheClient* client, int32_t indexNo, const uint8_t* key, int32_t* ordinal,
                           bool& found, uint32_t* recordNo) {
    if (ordinal) *ordinal = 1;
    found = false;
    TPageRef cur(*this);
    if (!cur.Root(client, indexNo, TPagePos::Second)) return false;
    if (!cur) return true;
    int32_t running = 0;
    int32_t depth = 0;
    // A probe without ordinal remembers its descent for the insert that may follow.
    TProbePath* probe = nullptr;
    if (!ordinal && !recordNo) {
        if (FProbes.size() <= size_t(indexNo)) FProbes.resize(IndexDescriptorCount);
        probe = &FProbes[size_t(indexNo)];
        probe->Depth = 0;
        probe->Key.assign(key, key + cur->FKeyLength);
    }
    int32_t level = 0;
    const auto nearest = [&] {
        if (ordinal) return cur->FindNearestPos(client, key, true, running);
        if (!probe) return cur->FindNearestPos(client, key, true, nullptr);
        int32_t notAbove;
        const bool equal = cur->FindNearestPos(client, key, true, &notAbove);
        if (level < MaxProbeDepth) {
            probe->Pages[level] = cur->FPagePos;
            probe->NotAbove[level] = notAbove;
            probe->Depth = ++level;
        }
        return equal;
    };
    while (!cur->IsLeaf()) {
        nearest();
        if (!Descend(*this, client, indexNo, cur, cur->FPos2, depth)) return false;
    }
    found = nearest();
    if (recordNo && found) *recordNo = cur->EntryValue(cur->FPos2);
    if (!ordinal) return true;
    *ordinal = running + 1;
    // Every key of the leaf is below the search key.
    if (!found && client->CompareKeys(cur->EntryKey(cur->FPos2), key, cur->FKeyLength) < 0) ++*ordinal;
    return true;
}

bool TIndexFile::GetKeyAtOrdinal(TCacheClient* client, int32_t indexNo, int32_t ordinal, uint8_t* key,
                                 uint32_t& recordNo, bool& found, uint32_t* run, uint32_t runMaximum,
                                 int32_t runDirection, TLeafSlot* at) {
    found = false;
    recordNo = 0;
    TPageRef cur(*this);
    if (!cur.Root(client, indexNo, TPagePos::Second)) return false;
    if (!cur || ordinal < 1 || uint32_t(ordinal) > cur->GetTotalCount()) return true;
    uint32_t rest = uint32_t(ordinal);
    int32_t depth = 0;
    while (!cur->IsLeaf()) {
        int32_t i = 1;
        for (; i <= cur->FCount; ++i) {
            const uint32_t n = cur->EntryCount(i);
            if (rest <= n) break;
            rest -= n;
        }
        if (i > cur->FCount) Fail(ZIZIVU_PAGEBUFCORRUPT);
        cur->FPos2 = i;
        if (!Descend(*this, client, indexNo, cur, i, depth)) return false;
    }
    if (rest > uint32_t(cur->FCount)) Fail(ZIZIVU_PAGEBUFCORRUPT);
    ReadLeafEntry(cur.get(), int32_t(rest), key, recordNo, run, runMaximum, runDirection);
    if (at) *at = TLeafSlot{cur->FPagePos, int32_t(rest)};
    found = true;
    return true;
}

bool TIndexFile::GetKeyInCachedLeaf(int32_t indexNo, const TLeafSlot& at, uint8_t* key, uint32_t& recordNo,
                                    uint32_t* run, uint32_t runMaximum, int32_t runDirection) {
    CheckIndexNo(indexNo);
    TPageCache& cache = FCaches[indexNo];
    TPage* leaf = FindCached(cache, at.Page);
    if (!leaf || !leaf->IsLeaf() || leaf->FFree || at.Slot < 1 || at.Slot > leaf->FCount) return false;
    CountHit(cache, leaf);
    ReadLeafEntry(leaf, at.Slot, key, recordNo, run, runMaximum, runDirection);
    return true;
}

void TIndexFile::ReadLeafEntry(TPage* leaf, int32_t slot, uint8_t* key, uint32_t& recordNo, uint32_t* run,
                               uint32_t runMaximum, int32_t runDirection) {
    leaf->FPos2 = slot;
    if (key) std::memcpy(key, leaf->EntryKey(slot), size_t(leaf->FKeyLength));
    recordNo = leaf->EntryValue(slot);
    if (run) {
        const int32_t pos1 = leaf->FPos1;
        leaf->FPos1 = slot;
        *run = 1 + leaf->CountRecordRun(runMaximum > 1 ? runMaximum - 1 : 0, runDirection);
        leaf->FPos1 = pos1;
    }
}

bool TIndexFile::GetIndexKeyCount(TCacheClient* client, int32_t indexNo, int32_t& count) {
    count = 0;
    TPageRef cur(*this);
    if (!cur.Root(client, indexNo, TPagePos::Second)) return false;
    if (cur) count = int32_t(cur->GetTotalCount());
    return true;
}
