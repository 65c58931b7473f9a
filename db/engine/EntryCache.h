#pragma once
// The cache shared by a table's files: records of the data file, blocks of the BLOB file
// (the index file's page caches, one per index and flushed together, share only the
// splitting into runs). Entries are numbered (record number or file position); entries
// whose numbers differ by the cache's step lie next to each other in the file.
//
// - a list sorted by number, searched by bisection after a look at the four newest entries;
// - a recency chain from the oldest to the newest entry;
// - pins (use counts): a pinned entry is never reused or written;
// - a capacity: at capacity the oldest clean unpinned entry is reused; when there is none,
//   outside a transaction everything is written and the search repeated, inside a
//   transaction the capacity grows instead, so a dirty entry is never dropped;
// - run-wise writing: modified unpinned entries in number order, each run of adjacent
//   entries with one write, leaving out the run a read-ahead is distributing.
//
// The host creates, frees and writes the entries; T derives from TCacheEntry and has
// ClearImage() (empties the entry's content when it is reused for another number).
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstring>
#include <vector>

#include "db/storage/SystemList.h"
#include "platform/rtl/ScopeGuard.h"

struct TCacheEntry {
    uint32_t Number = 0;
    uint8_t Modified = 0;
    uint16_t UseCount = 0;
    // Dirty and passed over by a victim search inside a transaction (see Park).
    uint8_t Parked = 0;
    TCacheEntry* Older = nullptr;
    TCacheEntry* Newer = nullptr;

    void IncUseCount() { ++UseCount; }
    void DecUseCount() {
        if (UseCount > 0) --UseCount;
    }
    void ClearUseCount() { UseCount = 0; }
};

template <class T>
class TEntryCacheHost {
public:
    virtual ~TEntryCacheHost() = default;
    // A fresh entry, its content empty and sized.
    virtual T* CacheNewEntry() = 0;
    // An entry leaving the cache (back to the host's pool).
    virtual void CacheFreeEntry(T* entry) = 0;
    // Writes `count` entries of adjacent numbers, lowest first, with one write.
    virtual void CacheWriteRun(T* const* run, int32_t count) = 0;
};

// Splits entries sorted by file position into runs of neighbours (adjacent(a, b): b lies
// right after a) and hands each run to write(first, count), lowest first.
template <class T, class Adjacent, class Write>
void ForEachRun(T* const* sorted, size_t count, Adjacent&& adjacent, Write&& write) {
    size_t first = 0;
    while (first < count) {
        size_t last = first;
        while (last + 1 < count && adjacent(sorted[last], sorted[last + 1])) ++last;
        write(sorted + first, int32_t(last - first + 1));
        first = last + 1;
    }
}

// Growth of a full cache inside a transaction.
constexpr int32_t CacheTransactionGrowth = 255;

template <class T>
class TEntryCache {
public:
    TEntryCache(TEntryCacheHost<T>& host, uint32_t step) : FHost(host), FStep(step) {}
    TEntryCache(const TEntryCache&) = delete;
    TEntryCache& operator=(const TEntryCache&) = delete;
    ~TEntryCache() { Clear(); }

    void SetStep(uint32_t step) { FStep = step; }
    uint32_t Step() const { return FStep; }
    // The base capacity; Trim returns to it after a transaction grew the cache.
    void SetCapacity(int32_t capacity) {
        FBaseCapacity = capacity;
        FCapacity = capacity;
    }
    int32_t Capacity() const { return FCapacity; }
    int32_t Count() const { return FList.Count() - FFront; }
    // Entry i in number order.
    T* At(int32_t i) const { return static_cast<T*>(FList.Get(FFront + i)); }
    T* Newest() const { return static_cast<T*>(FNewest); }
    T* Oldest() const { return static_cast<T*>(FOldest); }

    uint32_t Hits() const { return FHits; }
    uint32_t Reads() const { return FReads; }
    uint32_t Writes() const { return FWrites; }
    void CountRead() { ++FReads; }
    void ResetCounters() { FHits = FReads = FWrites = 0; }

    // The cached entry of the number, made the newest and counted as a hit; nil on a miss.
    T* Lookup(uint32_t number) {
        TCacheEntry* e = FNewest;
        int32_t index;
        // A scan asks next for a neighbour of the entry it found last; the list is sorted
        // by number, so a neighbour that carries the number is the entry. That is asked
        // after the newest entry and before the three below it, which a scan passed over
        // on every step.
        if (e && e->Number == number) {
        } else if (NextToLastFound(number, index)) {
            FLastFound = index;
            e = At(index);
        } else {
            if (e) e = e->Older;
            for (int i = 1; i < 4 && e; ++i, e = e->Older) {
                if (e->Number == number) break;
            }
            if (!e || e->Number != number) {
                if (!Search(number, index)) {
                    FMissNumber = number;
                    FMissIndex = index;
                    return nullptr;
                }
                FLastFound = index;
                e = At(index);
            }
        }
        MoveToNewest(e);
        ++FHits;
        return static_cast<T*>(e);
    }

    // The cached entry of the number without touching the chain or the counters.
    T* Find(uint32_t number) const {
        int32_t index;
        return Search(number, index) ? At(index) : nullptr;
    }

    // An entry for a number that is not cached: a new one below capacity, else the oldest
    // clean unpinned one (after writing everything, outside a transaction), else, inside
    // a transaction, a new one with the capacity grown. Listed, newest, unpinned, clean
    // and empty. Nil when every entry is pinned (or dirty inside no transaction).
    T* TakeFree(uint32_t number, bool inTransaction) {
        T* e = nullptr;
        if (Count() < FCapacity) {
            e = FHost.CacheNewEntry();
        } else {
            e = FindVictim(inTransaction);
            if (!e && !inTransaction) {
                Flush();
                e = FindVictim(false);
            }
            if (e) {
                Unlist(e);
                ClearVictim(e);
            } else if (inTransaction) {
                FCapacity += CacheTransactionGrowth;
                e = FHost.CacheNewEntry();
            } else {
                return nullptr;
            }
        }
        e->Number = number;
        e->UseCount = 0;
        e->Modified = 0;
        int32_t index;
        Search(number, index);
        ListInsert(index, e);
        LinkNewest(e);
        return e;
    }

    // The entry of the number that extends the file: cached or taken, marked modified (the
    // file must cover it even when nothing is stored in it) and pinned. Nil when none is free.
    T* TakeAppended(uint32_t number, bool inTransaction) {
        T* e = Find(number);
        if (!e) e = TakeFree(number, inTransaction);
        if (!e) return nullptr;
        e->Modified = 1;
        e->IncUseCount();
        return e;
    }

    // Spreads the images of one read over the cache: `count` entries from number `first` on,
    // step by step, each image `imageSize` bytes after the one before. Missing entries are
    // taken and loaded, cached clean unpinned ones reloaded, modified or pinned ones keep
    // their content; a flush meanwhile leaves the run alone. Counts one read. The entry of
    // `wanted` comes back pinned; nil (nothing left pinned) when an entry could not be had
    // or `wanted` lies outside the run. load(entry, image) fills one entry.
    template <class Load>
    T* DistributeRead(uint32_t first, uint32_t count, uint8_t* images, size_t imageSize, uint32_t wanted,
                      bool inTransaction, Load&& load) {
        CountRead();
        if (count == 0) return nullptr;
        const uint32_t last = first + (count - 1) * FStep;
        SetReadAheadRange(first, last);
        TScopeGuard ahead([this] { ClearReadAheadRange(); });
        // Entries for the numbers not cached yet are had first; then the run goes into the
        // sorted list in one pass. Inserting entry by entry moved the list's tail once per
        // record, which made a run of a few hundred records cost more than its read.
        int32_t lo, hi;
        RunBounds(first, last, lo, hi);
        uint32_t cached = 0;
        for (int32_t i = lo; i < hi; ++i)
            if (OnRun(At(i)->Number, first)) ++cached;
        // Room first: nothing below may fail once entries are taken.
        std::vector<T*>& slice = FSlice;
        slice.clear();
        slice.reserve(size_t(count) + size_t(hi - lo));
        if (FFront + Count() + int32_t(count) > FList.Capacity()) {
            Compact();
            if (Count() + int32_t(count) > FList.Capacity())
                FList.SetCapacity(Count() + int32_t(count) + Count() / 4);
        }
        std::vector<T*>& fresh = FTaken;
        fresh.clear();
        fresh.reserve(count);
        const int32_t listed = Count();
        if (!TakeFreeRun(count - cached, first, last, inTransaction, fresh)) return nullptr;
        // A taken entry becomes the entry of number n, loaded from its image, the newest.
        const auto fill = [&](T* e, uint32_t n, uint8_t* image) {
            e->Number = n;
            e->UseCount = 0;
            e->Modified = 0;
            load(e, image);
            LinkNewest(e);
        };
        if (count == 1 && cached == 0) {
            // One record missed: it goes into the list alone, where the bisection above
            // placed it, one place lower when the entry it takes over was listed below it
            // (a victim keeps its old number until here). A second bisection of a full
            // cache touched as many scattered entries again.
            T* e = fresh.front();
            fresh.clear();
            const int32_t index = Count() < listed && e->Number < first ? lo - 1 : lo;
            assert(Count() == listed || Count() == listed - 1);
            fill(e, first, images);
#ifndef NDEBUG
            int32_t searched;
            assert(!Search(first, searched) && searched == index);
#endif
            ListInsert(index, e);
            if (wanted != first) return nullptr;
            e->IncUseCount();
            return e;
        }
        // The run's slice of the list: cached entries where they are, taken ones in the gaps.
        RunBounds(first, last, lo, hi);
        size_t next = 0;
        int32_t i = lo;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t n = first + k * FStep;
            while (i < hi && At(i)->Number < n) slice.push_back(At(i++));
            T* e;
            if (i < hi && At(i)->Number == n) {
                e = At(i++);
                if (!e->Modified && e->UseCount == 0) load(e, images + size_t(k) * imageSize);
            } else {
                e = fresh[next++];
                fill(e, n, images + size_t(k) * imageSize);
            }
            slice.push_back(e);
        }
        while (i < hi) slice.push_back(At(i++));
        fresh.clear();
        const int32_t grow = int32_t(slice.size()) - (hi - lo);
        const int32_t oldCount = Count();
        FList.SetCount(FFront + oldCount + grow);
        void** items = FList.List() + FFront;
        if (hi < oldCount) std::memmove(items + hi + grow, items + hi, size_t(oldCount - hi) * sizeof(void*));
        std::memcpy(items + lo, slice.data(), slice.size() * sizeof(void*));
        slice.clear();

        int32_t index;
        if (wanted < first || wanted > last || !Search(wanted, index)) return nullptr;
        T* result = At(index);
        result->IncUseCount();
        return result;
    }

    // Whether a cached entry within first..last is modified (one bisection, then the
    // entries in number order).
    bool AnyModified(uint32_t first, uint32_t last) const {
        int32_t i;
        Search(first, i);
        for (; i < Count(); ++i) {
            const T* e = At(i);
            if (e->Number > last) break;
            if (e->Modified) return true;
        }
        return false;
    }

    // Numbers first..last are being filled from a read-ahead: a flush leaves them alone.
    void SetReadAheadRange(uint32_t first, uint32_t last) {
        FAheadFirst = first;
        FAheadLast = last;
        FAheadActive = true;
    }
    void ClearReadAheadRange() { FAheadActive = false; }

    // Writes the modified unpinned entries run by run; whether anything was written.
    bool Flush() {
        std::vector<T*> dirty;
        for (int32_t i = 0; i < Count(); ++i) {
            T* e = At(i);
            if (!e->Modified || e->UseCount > 0) continue;
            if (FAheadActive && e->Number >= FAheadFirst && e->Number <= FAheadLast) continue;
            dirty.push_back(e);
        }
        ForEachRun(
            dirty.data(), dirty.size(),
            [this](const T* a, const T* b) { return a->Number + FStep == b->Number; },
            [this](T* const* run, int32_t count) {
                FHost.CacheWriteRun(run, count);
                for (int32_t i = 0; i < count; ++i) run[i]->Modified = 0;
                ++FWrites;
            });
        Unpark();
        return !dirty.empty();
    }

    // Back to the base capacity, dropping clean unpinned entries from the high numbers.
    void Trim() {
        FCapacity = FBaseCapacity;
        for (int32_t i = Count() - 1; i >= 0 && Count() > FCapacity; --i) {
            T* e = At(i);
            if (e->Modified || e->UseCount > 0) continue;
            Unlist(e);
            FHost.CacheFreeEntry(e);
        }
    }

    // Drops every entry, written or not.
    void Clear() {
        for (int32_t i = Count() - 1; i >= 0; --i) {
            T* e = At(i);
            e->Older = e->Newer = nullptr;
            e->Parked = 0;
            FHost.CacheFreeEntry(e);
        }
        // The list keeps storage of up to the normal capacity: a cache emptied and filled
        // again for every statement (a result table) regrew it step by step each time.
        if (FList.Capacity() <= FBaseCapacity)
            FList.SetCount(0);
        else
            FList.Clear();
        FFront = 0;
        FNewest = FOldest = nullptr;
        FParkedNewest = FParkedOldest = nullptr;
        FCapacity = FBaseCapacity;
    }

    // Takes one entry out of the cache (to the host's pool).
    void Remove(T* e) {
        Unlist(e);
        FHost.CacheFreeEntry(e);
    }

private:
    bool NextToLastFound(uint32_t number, int32_t& index) const {
        for (int32_t i : {FLastFound + 1, FLastFound - 1})
            if (i >= 0 && i < Count() && At(i)->Number == number) {
                index = i;
                return true;
            }
        return false;
    }

    // Bisection; index is the hit or the insertion point.
    bool Search(uint32_t number, int32_t& index) const {
        int32_t lo = 0, hi = Count() - 1;
        // A number beyond the highest (a record being appended) or the lowest (the oldest
        // record of a table filled in order, reused) needs no bisection.
        if (hi < 0 || At(hi)->Number < number) {
            index = hi + 1;
            return false;
        }
        if (At(0)->Number >= number) {
            index = 0;
            return At(0)->Number == number;
        }
        // Where the entries up to the number are consecutive (a table cached whole), its
        // place follows from the lowest number.
        const uint32_t guess = (number - At(0)->Number) / FStep;
        if (guess <= uint32_t(hi) && At(int32_t(guess))->Number == number) {
            index = int32_t(guess);
            return true;
        }
        while (lo <= hi) {
            int32_t mid = lo + (hi - lo) / 2;
            uint32_t n = At(mid)->Number;
            if (n == number) {
                index = mid;
                return true;
            }
            if (n < number)
                lo = mid + 1;
            else
                hi = mid - 1;
        }
        index = lo;
        return false;
    }

    // The oldest entry that is neither modified nor pinned, taken out of the chain.
    T* FindVictim(bool inTransaction) {
        std::vector<T*>& found = FVictims;
        found.clear();
        found.reserve(1);
        CollectVictims(1, 1, 0, inTransaction, found);
        return found.empty() ? nullptr : found[0];
    }

    // Walks the chain once from the oldest end, taking up to `wanted` entries that are
    // neither modified nor pinned and lie outside first..last out of the chain. Inside a
    // transaction the dirty entries stay until the commit: those passed over are parked
    // (the next search does not walk them again; a long transaction would otherwise make
    // every search walk all its changes), pinned ones move to the newest end.
    void CollectVictims(size_t wanted, uint32_t first, uint32_t last, bool inTransaction,
                        std::vector<T*>& victims) {
        if (!inTransaction) Unpark();
        TCacheEntry* stop = FNewest;
        for (TCacheEntry* e = FOldest; e && wanted > 0;) {
            TCacheEntry* next = e == stop ? nullptr : e->Newer;
            if (!e->Modified && e->UseCount == 0) {
                if (e->Number < first || e->Number > last) {
                    Unlink(e);
                    victims.push_back(static_cast<T*>(e));
                    --wanted;
                }
            } else if (inTransaction && e != stop) {
                if (e->Modified)
                    Park(e);
                else
                    MoveToNewest(e);
            }
            e = next;
        }
    }

    // `needed` entries for a run first..last that are neither listed nor chained: new ones
    // below capacity, then victims outside the run (after writing everything, outside a
    // transaction), then, inside a transaction, new ones with the capacity grown. False
    // (the entries had so far in `out`) when not enough could be had.
    bool TakeFreeRun(uint32_t needed, uint32_t first, uint32_t last, bool inTransaction,
                     std::vector<T*>& out) {
        std::vector<T*>& victims = FVictims;
        victims.clear();
        victims.reserve(needed);
        // Until all are had, `out` holds only new entries; a failure (or a failed write of
        // the flush) puts the victims back into the chain and the new entries back to the pool.
        TScopeGuard undo([this, &victims, &out] {
            for (T* e : victims) LinkNewest(e);
            victims.clear();
            for (T* e : out) FHost.CacheFreeEntry(e);
            out.clear();
        });
        int32_t listed = Count();
        bool flushed = false;
        while (out.size() + victims.size() < needed) {
            if (listed < FCapacity) {
                out.push_back(FHost.CacheNewEntry());
                ++listed;
                continue;
            }
            CollectVictims(needed - out.size() - victims.size(), first, last, inTransaction, victims);
            if (out.size() + victims.size() >= needed) break;
            if (inTransaction) {
                FCapacity += CacheTransactionGrowth;
            } else if (!flushed) {
                Flush();
                flushed = true;
            } else {
                return false;
            }
        }
        undo.Dismiss();
        UnlistAll(victims);
        for (T* e : victims) {
            ClearVictim(e);
            out.push_back(e);
        }
        victims.clear();
        return true;
    }

    // Takes entries already out of the chain off the sorted list in one pass.
    void UnlistAll(std::vector<T*>& gone) {
        if (gone.empty()) return;
        if (gone.size() == 1) {
            Delist(gone.front());
            return;
        }
        std::sort(gone.begin(), gone.end(), [](const T* a, const T* b) { return a->Number < b->Number; });
        void** items = FList.List() + FFront;
        int32_t from;
        Search(gone.front()->Number, from);
        int32_t to = from;
        size_t g = 0;
        for (int32_t i = from; i < Count(); ++i) {
            if (g < gone.size() && items[i] == gone[g]) {
                ++g;
                continue;
            }
            items[to++] = items[i];
        }
        FList.SetCount(FFront + to);
    }

    void ClearVictim(T* e) {
        e->ClearImage();
        e->Modified = 0;
    }

    // Indexes lo..hi (exclusive) of the listed entries numbered first..last.
    void RunBounds(uint32_t first, uint32_t last, int32_t& lo, int32_t& hi) const {
        // The read after a lookup's miss starts where the lookup's bisection ended: two
        // neighbours confirm that place (whatever changed in between) instead of a second
        // bisection over scattered entries.
        const int32_t n = Count();
        if (first == FMissNumber && FMissIndex >= 0 && FMissIndex <= n &&
            (FMissIndex == n || At(FMissIndex)->Number > first) &&
            (FMissIndex == 0 || At(FMissIndex - 1)->Number < first))
            lo = FMissIndex;
        else
            Search(first, lo);
        hi = lo;
        while (hi < Count() && At(hi)->Number <= last) ++hi;
    }

    // Whether a number is one of a run's (the run's entries lie FStep apart).
    bool OnRun(uint32_t number, uint32_t first) const { return FStep <= 1 || (number - first) % FStep == 0; }

    void Park(TCacheEntry* e) {
        Unlink(e);
        Append(FParkedOldest, FParkedNewest, e);
        e->Parked = 1;
    }

    // The parked entries back into the chain, at its oldest end.
    void Unpark() {
        if (!FParkedOldest) return;
        for (TCacheEntry* e = FParkedOldest; e; e = e->Newer) e->Parked = 0;
        FParkedNewest->Newer = FOldest;
        if (FOldest)
            FOldest->Older = FParkedNewest;
        else
            FNewest = FParkedNewest;
        FOldest = FParkedOldest;
        FParkedOldest = FParkedNewest = nullptr;
    }

    void Unlink(TCacheEntry* e) {
        TCacheEntry*& oldest = e->Parked ? FParkedOldest : FOldest;
        TCacheEntry*& newest = e->Parked ? FParkedNewest : FNewest;
        if (e->Older)
            e->Older->Newer = e->Newer;
        else if (oldest == e)
            oldest = e->Newer;
        if (e->Newer)
            e->Newer->Older = e->Older;
        else if (newest == e)
            newest = e->Older;
        e->Older = e->Newer = nullptr;
        e->Parked = 0;
    }

    // Links an entry that is in no chain at the newest end of a chain.
    static void Append(TCacheEntry*& oldest, TCacheEntry*& newest, TCacheEntry* e) {
        e->Older = newest;
        e->Newer = nullptr;
        if (newest) newest->Newer = e;
        newest = e;
        if (!oldest) oldest = e;
    }

    void LinkNewest(TCacheEntry* e) {
        e->Parked = 0;
        Append(FOldest, FNewest, e);
    }

    void MoveToNewest(TCacheEntry* e) {
        if (FNewest == e) return;
        Unlink(e);
        LinkNewest(e);
    }

    // Off the sorted list only.
    void Delist(TCacheEntry* e) {
        int32_t index;
        if (Search(e->Number, index) && At(index) == e) ListDelete(index);
    }

    void Unlist(TCacheEntry* e) {
        Delist(e);
        Unlink(e);
    }

    TEntryCacheHost<T>& FHost;
    uint32_t FStep;
    int32_t FBaseCapacity = 0;
    int32_t FCapacity = 0;
    // Entry i of the sorted list; entries below FFront are unused. A reused entry usually
    // is the oldest and lowest, a new one the highest: moving the shorter side of the list
    // makes both ends cheap (moving the whole list for each appended record of a large
    // table made filling it quadratic in the cache size).
    void ListInsert(int32_t index, TCacheEntry* e) {
        if (FFront > 0 && index < Count() / 2) {
            void** items = FList.List() + FFront;
            std::memmove(items - 1, items, size_t(index) * sizeof(void*));
            --FFront;
            FList.Put(FFront + index, e);
            return;
        }
        FList.Insert(FFront + index, e);
    }

    void ListDelete(int32_t index) {
        if (index < Count() / 2) {
            void** items = FList.List() + FFront;
            std::memmove(items + 1, items, size_t(index) * sizeof(void*));
            FList.Put(FFront, nullptr);
            ++FFront;
            // The unused front never outgrows the list.
            if (FFront > Count()) Compact();
            return;
        }
        FList.Delete(FFront + index);
    }

    // The entries back to the start of the list.
    void Compact() {
        if (FFront == 0) return;
        const int32_t count = Count();
        void** items = FList.List();
        std::memmove(items, items + FFront, size_t(count) * sizeof(void*));
        FFront = 0;
        FList.SetCount(count);
    }

    TSystemList FList;
    int32_t FFront = 0;
    TCacheEntry* FNewest = nullptr;
    TCacheEntry* FOldest = nullptr;
    TCacheEntry* FParkedNewest = nullptr;
    TCacheEntry* FParkedOldest = nullptr;
    // Where the last lookup that missed would have found its number (see RunBounds).
    uint32_t FMissNumber = 0;
    int32_t FMissIndex = -1;
    // Scratch lists of DistributeRead, kept for their capacity.
    std::vector<T*> FTaken;
    std::vector<T*> FSlice;
    std::vector<T*> FVictims;
    bool FAheadActive = false;
    uint32_t FAheadFirst = 0;
    uint32_t FAheadLast = 0;
    int32_t FLastFound = 0;  // list index of the last entry Lookup found by position
    uint32_t FHits = 0;
    uint32_t FReads = 0;
    uint32_t FWrites = 0;
};
