// Fuzz target: URL-encoded form parsing, URL decoding and encoding, basic authorization.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web/HttpEng.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    TStringList fields;
    fields.SetSorted(true);
    ParseUrlEncoded(&fields, text + "&", static_cast<int32_t>(text.size() + 1));
    for (int i = 0; i < fields.Count(); ++i)
        if (fields.Names(i).empty()) std::abort();  // a pair without a name is never added

    // Decoding never grows the text; encoding is undone by decoding.
    if (UrlDecode(text).size() > text.size()) std::abort();
    if (UrlDecode(UrlEncode(text)) != text) std::abort();

    std::string user = "u", password = "p";
    DecodeBasicAuthorization(text, user, password);
    if (password.size() > 1032) std::abort();
    return 0;
}
