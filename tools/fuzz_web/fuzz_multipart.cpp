// Fuzz target: the multipart/form-data parser. The first byte picks the read size, so that
// the body arrives in chunks of every size; files go to memory streams.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "web/HFileUp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t chunk = 1 + data[0] * 17;
    const std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t pos = 0;
    auto read = [&](void* buf, int32_t count) -> int32_t {
        size_t n = std::min({static_cast<size_t>(count), body.size() - pos, chunk});
        std::memcpy(buf, body.data() + pos, n);
        pos += n;
        return static_cast<int32_t>(n);
    };

    THttpFileUpload upload(nullptr);
    std::vector<std::unique_ptr<TMemoryStream>> files;
    upload.OnUploadPrepareFile = [&](TObject*, TStrings*, TStream*& out, bool& freeOut, bool& cancel) {
        // Every fourth file is dropped, every fifth freed by the parser, every seventh cancels.
        const size_t n = files.size() + 1;
        if (n % 4 == 0) {
            files.push_back(nullptr);
            return;
        }
        if (n % 5 == 0) {
            out = new TMemoryStream;
            freeOut = true;
            files.push_back(nullptr);
        } else {
            files.push_back(std::make_unique<TMemoryStream>());
            out = files.back().get();
        }
        cancel = n % 7 == 0;
    };
    TStringList fields;
    fields.SetSorted(true);
    try {
        upload.ParseUpload(read, static_cast<int32_t>(body.size()), &fields);
    } catch (const Exception&) {
        // "No boundary" and "No FieldInfo" are the parser's answers to malformed bodies.
    }
    int64_t written = 0;
    for (const auto& f : files)
        if (f) written += f->Size();
    if (written > static_cast<int64_t>(body.size()) || pos > body.size()) std::abort();
    return 0;
}
