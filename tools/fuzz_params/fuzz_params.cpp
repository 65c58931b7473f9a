// Fuzz target of the stored form of query parameters: any bytes either load or are refused
// with "Unable to load bind parameters" (never a crash, never a read past the data); a
// list that loads saves again, unless a value outgrew the stored limit, and what it saves
// loads back to the same names, types and null flags.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "db/components/ZIZIVUQuery.h"

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_params: %s\n", what);
        std::abort();
    }
}

bool Contains(const std::exception& e, const char* text) {
    return std::string(e.what()).find(text) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TZIZIVUParams list;
    try {
        list.LoadFromBytes(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const EDatabaseError& e) {
        Check(Contains(e, "Unable to load bind parameters"), "a refused form gives another message");
        Check(list.GetCount() == 0, "a refused form changed the list");
        return 0;
    }
    std::string saved;
    try {
        saved = list.SaveToBytes();
    } catch (const EDatabaseError& e) {
        Check(Contains(e, "cannot save data larger than 2048 bytes"), "a loaded list fails to save");
        return 0;
    }
    TZIZIVUParams back;
    back.LoadFromBytes(saved);
    Check(back.GetCount() == list.GetCount(), "the saved list has another count");
    for (int i = 0; i < list.GetCount(); ++i) {
        Check(back.RawItems(i)->Name() == list.RawItems(i)->Name(), "a saved name changed");
        // Repeated names are saved with the first one's type and value.
        Check(back.RawItems(i)->DataType() == list.Items(i)->DataType(), "a saved type changed");
        Check(back.RawItems(i)->IsNull() == list.Items(i)->IsNull(), "a saved null flag changed");
    }
    return 0;
}
